#include "tools/mapiadmin/JsonText.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "platform/system/Utf.h"

namespace nx::mapiadmin {
namespace {

constexpr char16_t kMarker = 0xFDD0;
constexpr char16_t kMarkedBase = 0xE000;
// U+FDD0 in UTF-8.
constexpr char kMarkerUtf8[] = "\xEF\xB7\x90";

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The code unit of a "\uXXXX" escape starting at text[i] (the backslash), or -1.
long EscapeAt(std::string_view text, std::size_t i) {
    if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u') return -1;
    long v = 0;
    for (std::size_t k = 2; k < 6; ++k) {
        const int d = HexDigit(text[i + k]);
        if (d < 0) return -1;
        v = v * 16 + d;
    }
    return v;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

struct Rewritten {
    std::string text;
    // (offset in the rewritten text after which the delta applies, cumulative bytes added)
    std::vector<std::pair<std::size_t, std::size_t>> growth;

    std::size_t OriginalOffset(std::size_t rewritten) const {
        std::size_t delta = 0;
        for (const auto& [at, d] : growth) {
            if (at > rewritten) break;
            delta = d;
        }
        return rewritten >= delta ? rewritten - delta : 0;
    }
};

Rewritten MarkLoneSurrogates(std::string_view in) {
    Rewritten r;
    r.text.reserve(in.size());
    std::size_t added = 0;
    auto grow = [&](std::size_t n) {
        added += n;
        r.growth.emplace_back(r.text.size(), added);
    };
    std::size_t i = 0;
    while (i < in.size()) {
        const char c = in[i];
        if (c == '/' && i + 1 < in.size() && (in[i + 1] == '/' || in[i + 1] == '*')) {
            // A comment: copied unchanged, so that a quote inside it starts no string.
            const bool line = in[i + 1] == '/';
            const std::size_t end = line ? in.find('\n', i + 2) : in.find("*/", i + 2);
            const std::size_t stop = end == std::string_view::npos ? in.size() : end + (line ? 1 : 2);
            r.text.append(in.substr(i, stop - i));
            i = stop;
            continue;
        }
        if (c != '"') {
            r.text.push_back(c);
            ++i;
            continue;
        }
        // A string: copy up to and including its closing quote.
        r.text.push_back(c);
        ++i;
        while (i < in.size() && in[i] != '"') {
            if (in.compare(i, 3, kMarkerUtf8) == 0) {
                r.text.append(kMarkerUtf8).append(kMarkerUtf8);
                grow(3);
                i += 3;
                continue;
            }
            if (in[i] != '\\') {
                r.text.push_back(in[i++]);
                continue;
            }
            const long v = EscapeAt(in, i);
            if (v < 0) {
                // Another escape (or a malformed one, which the parser reports): copy the
                // backslash and the character it escapes.
                r.text.append(in.substr(i, std::min<std::size_t>(2, in.size() - i)));
                i += 2;
                continue;
            }
            if (v >= 0xD800 && v <= 0xDBFF) {
                const long next = EscapeAt(in, i + 6);
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    r.text.append(in.substr(i, 12));
                    i += 12;
                    continue;
                }
            }
            if (v >= 0xD800 && v <= 0xDFFF) {
                r.text.append(kMarkerUtf8);
                AppendUtf8(r.text, kMarkedBase + static_cast<char32_t>(v - 0xD800));
                i += 6;
                continue;
            }
            if (v == kMarker) {
                r.text.append(in.substr(i, 6)).append(in.substr(i, 6));
                grow(6);
                i += 6;
                continue;
            }
            r.text.append(in.substr(i, 6));
            i += 6;
        }
        if (i < in.size()) {
            r.text.push_back('"');
            ++i;
        }
    }
    return r;
}

// "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error ..." -> the
// part after the position.
std::string ParseErrorDetail(const char* what) {
    std::string_view w(what);
    const std::size_t col = w.find("column ");
    std::size_t colon = col == std::string_view::npos ? w.find(": ") : w.find(": ", col);
    if (colon == std::string_view::npos) return std::string(w);
    return std::string(w.substr(colon + 2));
}

// The parser reports the last character of the token it did not expect; the user looks for the
// token's first character.
std::size_t TokenStart(std::string_view text, std::size_t last) {
    if (last >= text.size()) return last;
    if (text[last] == '"') {
        for (std::size_t k = last; k-- > 0;) {
            if (text[k] != '"') continue;
            std::size_t slashes = 0;
            while (k > slashes && text[k - 1 - slashes] == '\\') ++slashes;
            if (slashes % 2 == 0) return k;
        }
        return last;
    }
    auto word = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    };
    std::size_t k = last;
    while (k > 0 && word(text[k]) && word(text[k - 1])) --k;
    return k;
}

}  // namespace

nlohmann::json ParseJsonText(std::string_view text) {
    const Rewritten r = MarkLoneSurrogates(text);
    try {
        return nlohmann::json::parse(r.text, nullptr, true, true);
    } catch (const nlohmann::json::parse_error& e) {
        // e.byte counts from 1 and points at (or just past) the offending character.
        std::size_t at = std::min(r.OriginalOffset(e.byte > 0 ? e.byte - 1 : 0), text.size());
        const std::string detail = ParseErrorDetail(e.what());
        if (detail.find(" - unexpected ") != std::string::npos &&
            detail.find("end of input") == std::string::npos)
            at = TokenStart(text, at);
        std::size_t line = 1, column = 1;
        for (std::size_t k = 0; k < at; ++k) {
            if (text[k] == '\n') {
                ++line;
                column = 1;
            } else {
                ++column;
            }
        }
        throw InputError("line " + std::to_string(line) + ", column " + std::to_string(column) + ": " +
                         detail);
    } catch (const nlohmann::json::out_of_range& e) {
        // A number literal too large for a double (1E400) carries no position; its text does:
        // "[json.exception.out_of_range.406] number overflow parsing '1E400'".
        std::string_view what(e.what());
        if (const std::size_t tag = what.find("] "); tag != std::string_view::npos)
            what.remove_prefix(tag + 2);
        throw InputError(std::string(what));
    }
}

std::u16string JsonToUtf16(const std::string& parsed) {
    const std::u16string units = sys::Utf8ToUtf16(parsed);
    std::u16string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (u == kMarker && i + 1 < units.size()) {
            const char16_t next = units[i + 1];
            if (next == kMarker) {
                out.push_back(kMarker);
                ++i;
                continue;
            }
            if (next >= kMarkedBase && next < kMarkedBase + 0x800) {
                out.push_back(static_cast<char16_t>(0xD800 + (next - kMarkedBase)));
                ++i;
                continue;
            }
        }
        out.push_back(u);
    }
    return out;
}

std::string Utf16ToJson(std::u16string_view text) {
    std::u16string marked;
    marked.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t u = text[i];
        const bool high = u >= 0xD800 && u <= 0xDBFF;
        const bool low = u >= 0xDC00 && u <= 0xDFFF;
        if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            marked.push_back(u);
            marked.push_back(text[++i]);
        } else if (high || low) {
            marked.push_back(kMarker);
            marked.push_back(static_cast<char16_t>(kMarkedBase + (u - 0xD800)));
        } else if (u == kMarker) {
            marked.push_back(kMarker);
            marked.push_back(kMarker);
        } else {
            marked.push_back(u);
        }
    }
    return sys::Utf16ToUtf8(marked);
}

std::string DumpJsonText(const nlohmann::ordered_json& doc) {
    const std::string raw = doc.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
    std::string out;
    out.reserve(raw.size() + 1);
    for (std::size_t i = 0; i < raw.size();) {
        if (raw.compare(i, 3, kMarkerUtf8) == 0 && i + 6 <= raw.size()) {
            if (raw.compare(i + 3, 3, kMarkerUtf8) == 0) {
                out.append(kMarkerUtf8);
                i += 6;
                continue;
            }
            const std::u16string next = sys::Utf8ToUtf16(std::string_view(raw).substr(i + 3, 3));
            if (next.size() == 1 && next[0] >= kMarkedBase && next[0] < kMarkedBase + 0x800) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04X", 0xD800u + (next[0] - kMarkedBase));
                out.append(buf);
                i += 6;
                continue;
            }
        }
        out.push_back(raw[i++]);
    }
    out.push_back('\n');
    return out;
}

}  // namespace nx::mapiadmin
