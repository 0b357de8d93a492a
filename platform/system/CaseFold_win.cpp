// Case on Windows: CompareStringOrdinal ignoring case (the file system's and the registry's
// comparison) and LCMapStringEx lower-casing with the invariant locale.
#include "platform/system/CaseFold.h"
#include "platform/system/Win.h"

namespace nx::sys {

std::u16string FoldCase(std::u16string_view text) {
    if (text.empty()) return std::u16string();
    const auto* in = reinterpret_cast<const wchar_t*>(text.data());
    const int size = static_cast<int>(text.size());
    const int n =
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, in, size, nullptr, 0, nullptr, nullptr, 0);
    if (n <= 0) return std::u16string(text);
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, in, size, reinterpret_cast<wchar_t*>(out.data()),
                    n, nullptr, nullptr, 0);
    return out;
}

int CompareIgnoringCase(std::u16string_view a, std::u16string_view b) {
    const int r =
        ::CompareStringOrdinal(reinterpret_cast<const wchar_t*>(a.data()), static_cast<int>(a.size()),
                               reinterpret_cast<const wchar_t*>(b.data()), static_cast<int>(b.size()), TRUE);
    if (r == 0) return a.compare(b);  // the call failed
    return r - CSTR_EQUAL;
}

}  // namespace nx::sys
