// Fuzz target: any bytes as UTF-8 text and as UTF-16 units. The decoder's steps cover the text,
// and a character it finds is exactly the encoder's bytes for its code point (no overlong or
// out-of-range form passes); the conversion counts what it makes, never makes more units than
// bytes, gives the text back unchanged when it held no malformed byte (and no surrogate pair
// written as two three-byte sequences), and UTF-16 text survives the way through UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/system/Utf.h"

using namespace nx::sys;

namespace {

std::u16string UnitsOf(uint32_t code) {
    if (code < 0x10000) return std::u16string(1, static_cast<char16_t>(code));
    const uint32_t v = code - 0x10000;
    return {static_cast<char16_t>(0xD800 + (v >> 10)), static_cast<char16_t>(0xDC00 + (v & 0x3FF))};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    bool malformed = false;
    bool splitPair = false;  // an encoded high surrogate right before an encoded low one
    bool lastWasHigh = false;
    for (std::size_t at = 0; at < text.size();) {
        const Utf8Char c = DecodeUtf8(text, at);
        if (c.size < 1 || c.size > 4 || c.size > text.size() - at) std::abort();
        if (c.malformed) {
            malformed = true;
            lastWasHigh = false;
            at += c.size;
            continue;
        }
        if (c.code > 0x10FFFF || Utf16ToUtf8(UnitsOf(c.code)) != text.substr(at, c.size)) std::abort();
        if (c.WellFormed() != (c.code < 0xD800 || c.code > 0xDFFF)) std::abort();
        splitPair = splitPair || (lastWasHigh && c.code >= 0xDC00 && c.code <= 0xDFFF);
        lastWasHigh = c.code >= 0xD800 && c.code <= 0xDBFF;
        at += c.size;
    }

    const std::u16string wide = Utf8ToUtf16(text);
    if (Utf16Length(text) != wide.size() || wide.size() > text.size()) std::abort();
    if (!malformed && !splitPair && Utf16ToUtf8(wide) != text) std::abort();
    if (malformed && wide.find(u'\uFFFD') == std::u16string::npos) std::abort();

    std::u16string units(size / 2, u'\0');
    for (std::size_t i = 0; i < units.size(); ++i)
        units[i] = static_cast<char16_t>(data[2 * i] | data[2 * i + 1] << 8);
    if (Utf8ToUtf16(Utf16ToUtf8(units)) != units) std::abort();

    TextFileToUtf8(text);  // a file of these bytes reads without fault
    return 0;
}
