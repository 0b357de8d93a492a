#include "platform/system/Utf.h"

#include <cstdint>

namespace nx::sys {
namespace {

constexpr char16_t kReplacement = 0xFFFD;

template <typename Sink>
void Decode(std::string_view s, Sink&& sink) {
    std::size_t i = 0;
    while (i < s.size()) {
        const auto byte = static_cast<unsigned char>(s[i]);
        if (byte < 0x80) {
            sink(static_cast<char16_t>(byte));
            ++i;
            continue;
        }
        const Utf8Char c = DecodeUtf8(s, i);
        if (c.malformed) {
            sink(kReplacement);
            ++i;  // one replacement for each byte that is not UTF-8
        } else if (c.code >= 0x10000) {
            const uint32_t v = c.code - 0x10000;
            sink(static_cast<char16_t>(0xD800 + (v >> 10)));
            sink(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
            i += c.size;
        } else {
            // Includes lone surrogates written as three bytes: they come back as themselves.
            sink(static_cast<char16_t>(c.code));
            i += c.size;
        }
    }
}

}  // namespace

void AssignUtf16(std::u16string& out, std::string_view utf8) {
    // Never more units than bytes (four bytes give two units, a bad byte one replacement), so
    // the units are stored straight into a string of that size, then cut to what was written.
    out.resize(utf8.size());
    char16_t* next = out.data();
    Decode(utf8, [&](char16_t c) { *next++ = c; });
    out.resize(static_cast<std::size_t>(next - out.data()));
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    AssignUtf16(out, utf8);
    return out;
}

std::size_t Utf16Length(std::string_view utf8) {
    std::size_t n = 0;
    Decode(utf8, [&](char16_t) { ++n; });
    return n;
}

std::string Utf16ToUtf8(std::u16string_view s) {
    // At most three bytes a unit (a pair's four bytes come from two units), so the bytes are
    // stored straight into a string of that size, then cut to what was written.
    std::string out(s.size() * 3, '\0');
    char* next = out.data();
    const auto put = [&](uint32_t byte) { *next++ = static_cast<char>(byte); };
    for (std::size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp < 0x80) {
            put(cp);
            continue;
        }
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        }
        if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    out.resize(static_cast<std::size_t>(next - out.data()));
    return out;
}

std::string TextFileToUtf8(std::string_view bytes, std::string* note) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    enum class Form { Utf8, Utf16Le, Utf16Be } form = Form::Utf8;
    std::size_t skip = 0;
    std::string what;
    if (bytes.size() >= 2 && byte(0) == 0xFF && byte(1) == 0xFE) {
        form = Form::Utf16Le;
        skip = 2;
    } else if (bytes.size() >= 2 && byte(0) == 0xFE && byte(1) == 0xFF) {
        form = Form::Utf16Be;
        skip = 2;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        skip = 3;
    } else if (bytes.size() >= 2 && byte(0) != 0 && byte(1) == 0) {
        form = Form::Utf16Le;
        what = "read as UTF-16LE without a byte-order mark";
    } else if (bytes.size() >= 2 && byte(0) == 0 && byte(1) != 0) {
        form = Form::Utf16Be;
        what = "read as UTF-16BE without a byte-order mark";
    }
    std::string out;
    if (form == Form::Utf8) {
        out.assign(bytes.substr(skip));
        if (out.find('\0') != std::string::npos) what = "contains zero bytes: neither UTF-8 nor UTF-16 text";
    } else {
        const bool little = form == Form::Utf16Le;
        std::u16string units;
        units.reserve((bytes.size() - skip) / 2);
        for (std::size_t i = skip; i + 1 < bytes.size(); i += 2)
            units.push_back(
                static_cast<char16_t>(little ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1)));
        if ((bytes.size() - skip) % 2 != 0)
            what += std::string(what.empty() ? "" : "; ") +
                    "UTF-16 with an odd number of bytes: the last one is ignored";
        out = Utf16ToUtf8(units);
    }
    if (note) *note = std::move(what);
    return out;
}

}  // namespace nx::sys
