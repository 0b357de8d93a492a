// CStringEx: the agent's string with a token walk, used to take "-" and ":" separated date and
// time texts apart. The text is UTF-8; since a separator is matched as a whole UTF-8 sequence,
// tokens fall on the same character boundaries as they would in UTF-16.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace NAMESPACE_COMMON {

// A decimal integer as the host's documents carry it, read the way wcstol(text, 0, 10) reads it
// into a 32-bit long: leading ASCII white space, an optional sign, then digits up to the first
// other character; no digits give 0, values beyond the long's range stop at its limits.
int32_t ParseDecimalLong(std::string_view text);

class CStringEx {
public:
    CStringEx() = default;
    CStringEx(std::string text) : m_text(std::move(text)) {}   // NOLINT: implicit like a string
    CStringEx(const char* text) : m_text(text ? text : "") {}  // NOLINT
    virtual ~CStringEx() = default;
    CStringEx(const CStringEx&) = default;
    CStringEx& operator=(const CStringEx&) = default;
    CStringEx(CStringEx&&) noexcept = default;
    CStringEx& operator=(CStringEx&&) noexcept = default;

    // Consumes the next token from the front of the text:
    //  - an empty separator returns the whole text and leaves it unchanged;
    //  - an empty text returns "";
    //  - no separator in the text: returns the whole text and empties it;
    //  - separator at position p: returns the first p characters (empty when p is 0) and
    //    removes them together with the separator.
    // After the last token every call returns "". "2009-05-12" with "-" gives 2009, 05, 12.
    std::string GetNextToken(std::string_view separator);

    const std::string& GetString() const { return m_text; }
    operator std::string_view() const { return m_text; }  // NOLINT

private:
    std::string m_text;
};

}  // namespace NAMESPACE_COMMON
