// How a symbol name given to LoadedModule::Symbol reads: an export name, or "#n", export ordinal
// n the way a .def file numbers exports. Portable so that both systems' builds test it; only the
// Windows module loader has ordinals to look up.
#pragma once

#include <cstdint>
#include <string_view>

namespace nx::sys {

struct ExportName {
    enum Kind { kName, kOrdinal, kInvalid };
    Kind kind = kInvalid;
    uint16_t ordinal = 0;  // kOrdinal only
};

// "" -> invalid; not starting with '#' -> a name; "#n" -> ordinal n when n is 1..65535 written
// in decimal digits without sign, spaces or leading zeros (one spelling per ordinal); any other
// text after '#' names nothing (invalid).
ExportName ParseExportName(std::string_view name);

}  // namespace nx::sys
