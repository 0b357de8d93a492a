// Lossless text conversion between the agent's inner form (UTF-8 std::string) and the UTF-16
// of its edges (NDR wide strings, MAPI PT_UNICODE values, the trace file, base64 sources).
//
// Lossless in both directions, unpaired surrogates included: an unpaired UTF-16 surrogate is
// written as the three-byte sequence its code point would have (the "generalised UTF-8" that
// WTF-8 names), and such a sequence reads back as that same code unit. A surrogate pair is
// always a four-byte sequence, so Utf8ToUtf16(Utf16ToUtf8(x)) == x for every UTF-16 text x.
//
// Bytes that are not UTF-8 at all (a stray continuation byte, a truncated or overlong sequence,
// a code point above U+10FFFF) only arrive from outside; each such byte becomes U+FFFD.
//
// DecodeUtf8 is the one decoder of UTF-8 bytes: these conversions and the XML wrapper's check
// of what XML 1.0 can carry (common/XMLParser.cpp) both read characters with it.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace nx::sys {

// One character of UTF-8 text, as DecodeUtf8 finds it.
struct Utf8Char {
    uint32_t code = 0;      // the code point; an encoded surrogate's own value
    std::size_t size = 1;   // its bytes; for malformed bytes, the longest start that could still
                            // have been a character (at least one byte)
    bool malformed = true;  // not a character of generalised UTF-8 (`code` means nothing then)

    // A character of UTF-8 in the strict sense: not malformed, and not an encoded surrogate.
    bool WellFormed() const { return !malformed && (code < 0xD800 || code > 0xDFFF); }
};

// The character at text[at] (at < text.size()) in generalised UTF-8: a surrogate's three bytes
// (how Utf16ToUtf8 writes an unpaired surrogate) are that surrogate, which only WellFormed()
// refuses; an overlong form, a code point above U+10FFFF, a stray continuation byte and a cut
// sequence are malformed. Inline: the XML wrapper calls it for every non-ASCII character.
inline Utf8Char DecodeUtf8(std::string_view text, std::size_t at) {
    assert(at < text.size());
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead < 0x80) return {lead, 1, false};
    Utf8Char c;  // malformed, one byte, until the sequence is complete
    std::size_t tail = 0;
    uint32_t code = 0;
    unsigned char low = 0x80;   // the range of the first continuation byte, which rules out
    unsigned char high = 0xBF;  // overlong forms and code points beyond U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        tail = 1;
        code = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        tail = 2;
        code = lead & 0x0Fu;
        if (lead == 0xE0) low = 0xA0;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        tail = 3;
        code = lead & 0x07u;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return c;  // a continuation byte, C0, C1 or F5..FF
    }
    for (std::size_t k = 1; k <= tail; ++k) {
        c.size = k;
        if (at + k >= text.size()) return c;
        const auto next = static_cast<unsigned char>(text[at + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return c;
        code = (code << 6) | (next & 0x3Fu);
    }
    return {code, tail + 1, false};
}

std::u16string Utf8ToUtf16(std::string_view utf8);
// The same into `out`, replacing what it held and keeping its storage: for a caller that converts
// one text after another (a read's documents).
void AssignUtf16(std::u16string& out, std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// The number of UTF-16 code units Utf8ToUtf16 would produce: the unit in which the wire
// limits of the host interface (399, 39, 1023 characters) are counted.
std::size_t Utf16Length(std::string_view utf8);

// The text of a file as Windows tools write it: UTF-16LE after an FF FE mark (regedit's .reg
// exports, profile files saved as "Unicode"), UTF-16BE after FE FF, UTF-8 after EF BB BF.
// Without a mark, a file whose first character is ASCII written as two bytes with a zero
// (every profile and registry file starts so) is UTF-16LE or -BE; anything else is UTF-8.
// When something in the bytes had to be guessed or dropped, `note` (when given) says what,
// for the debug output; it is left empty otherwise.
std::string TextFileToUtf8(std::string_view bytes, std::string* note = nullptr);

}  // namespace nx::sys
