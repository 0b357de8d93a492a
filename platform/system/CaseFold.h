// Case-insensitive comparison of UTF-16 text, as the MAPI runtime's restrictions and sort orders
// need it: full Unicode case folding (ICU's default folding) on Linux, the system's ordinal
// case-insensitive comparison and invariant lower-casing on Windows.
#pragma once

#include <string>
#include <string_view>

namespace nx::sys {

// The text case-folded (a text the folding cannot take is returned as it is).
std::u16string FoldCase(std::u16string_view text);

// < 0, 0 or > 0 as `a` sorts before, with or after `b` when case is ignored.
int CompareIgnoringCase(std::u16string_view a, std::u16string_view b);

}  // namespace nx::sys
