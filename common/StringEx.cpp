#include "common/StringEx.h"

namespace NAMESPACE_COMMON {

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
