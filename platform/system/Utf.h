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
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nx::sys {

std::u16string Utf8ToUtf16(std::string_view utf8);
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
