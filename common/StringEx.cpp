#include "common/StringEx.h"

#include <limits>

namespace NAMESPACE_COMMON {

int32_t ParseDecimalLong(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) negative = text[at++] == '-';
    // The host's long is 32 bits: out-of-range values stop at its limits, as the conversion does.
    int64_t magnitude = 0;
    constexpr int64_t kLimit = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    for (; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at)
        if (magnitude <= kLimit) magnitude = magnitude * 10 + (text[at] - '0');
    if (negative)
        return magnitude >= kLimit ? std::numeric_limits<int32_t>::min() : static_cast<int32_t>(-magnitude);
    return magnitude >= kLimit ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

std::string CStringEx::GetNextToken(std::string_view separator) {
    if (separator.empty()) return m_text;
    if (m_text.empty()) return std::string();
    const std::size_t pos = m_text.find(separator);
    if (pos == std::string::npos) {
        std::string token;
        token.swap(m_text);
        return token;
    }
    std::string token = m_text.substr(0, pos);
    m_text.erase(0, pos + separator.size());
    return token;
}

}  // namespace NAMESPACE_COMMON
