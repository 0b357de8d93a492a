#include "platform/system/CaseFold.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace nx::sys {

std::u16string FoldCase(std::u16string_view text) {
    // Folding can lengthen a text, at most threefold.
    std::u16string out(text.size() * 3 + 1, u'\0');
    UErrorCode err = U_ZERO_ERROR;
    const int32_t n = u_strFoldCase(reinterpret_cast<UChar*>(out.data()), static_cast<int32_t>(out.size()),
                                    reinterpret_cast<const UChar*>(text.data()),
                                    static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &err);
    if (U_FAILURE(err)) return std::u16string(text);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

int CompareIgnoringCase(std::u16string_view a, std::u16string_view b) {
    UErrorCode err = U_ZERO_ERROR;
    const int r = u_strCaseCompare(reinterpret_cast<const UChar*>(a.data()), static_cast<int32_t>(a.size()),
                                   reinterpret_cast<const UChar*>(b.data()), static_cast<int32_t>(b.size()),
                                   U_FOLD_CASE_DEFAULT, &err);
    if (U_FAILURE(err)) return a.compare(b);
    return r;
}

}  // namespace nx::sys
