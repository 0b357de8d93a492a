// Fuzz target: any text as a symbol name; an ordinal is read only from its one decimal spelling.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/system/ExportName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view name(reinterpret_cast<const char*>(data), size);
    const nx::sys::ExportName parsed = nx::sys::ParseExportName(name);
    if (parsed.kind == nx::sys::ExportName::kOrdinal && "#" + std::to_string(parsed.ordinal) != name)
        __builtin_trap();
    return 0;
}
