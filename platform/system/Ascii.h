// Locale-free ASCII helpers for the protocol, file and command texts the platform reads: pipe
// names, registry key names, profile-file sections and keys, script words, hex digits. None of
// them depends on the C library's locale, so a German or Turkish locale never changes a match.
#pragma once

#include <string>
#include <string_view>

namespace nx::sys {

constexpr char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string AsciiLower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = AsciiLower(c);
    return out;
}

constexpr bool EqualsIgnoreAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// The text without the characters of `blanks` at either end. Each reader names its own set:
// the texts it reads differ in which white space they may carry.
constexpr std::string_view TrimAscii(std::string_view s, std::string_view blanks) {
    while (!s.empty() && blanks.find(s.front()) != std::string_view::npos) s.remove_prefix(1);
    while (!s.empty() && blanks.find(s.back()) != std::string_view::npos) s.remove_suffix(1);
    return s;
}

// The value of one hexadecimal digit, or -1.
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A whole number of milliseconds above 0 and at most an hour ("250"), or `fallback` for
// anything else (null, "", signs, units, blanks, overflow): the form of the test knobs that
// shorten the agent's timeouts.
constexpr int MillisecondsOr(const char* text, int fallback) {
    if (text == nullptr || *text == '\0') return fallback;
    long ms = 0;
    for (const char* p = text; *p; ++p) {
        if (*p < '0' || *p > '9') return fallback;
        ms = ms * 10 + (*p - '0');
        if (ms > 3600000) return fallback;
    }
    return ms > 0 ? static_cast<int>(ms) : fallback;
}

}  // namespace nx::sys
