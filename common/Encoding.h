// Text codecs shared by the item code: the hexadecimal text of binary MAPI values (entry ids
// travel to and from the host as hex text), the base64 encoder of recurrence-exception texts,
// and the UTF-16LE bytes those texts are encoded from.
//
// Text is UTF-8 std::string inside the agent. Where a rule counts characters (the hex decoder's
// lengths and positions) it counts UTF-16 code units, as the host's wide strings do.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace NAMESPACE_COMMON {

// Upper-case hex, two digits per byte, high nibble first, no prefix or separators.
// A null pointer or a zero count gives the empty text.
std::string BinaryToHexString(const uint8_t* lpb, uint32_t cb);

// Decodes entry-id text. The rules are those the host relies on, including for text that is
// not clean hex:
//  - fewer than 2 characters: nothing (empty result);
//  - prefix: a first character "x"/"X" skips 1 character; a second character "x"/"X" (as in
//    "0x") skips 2; the second test wins when both hold;
//  - byte count: without a prefix L/2 rounded down (a final lone digit is ignored); with a
//    prefix (L-P)/2 rounded up (a final lone digit is a byte of its own);
//  - each byte is its two characters read as one base-16 number the way wcstol(s, 0, 16) reads
//    them: leading ASCII white space skipped, an optional sign, an optional "0x" only when a
//    digit follows it, then digits up to the first character it cannot use (0 when none);
//    the low 8 bits are stored (so "-1" gives FF, "G1" gives 00, "1G" gives 01).
// Non-hex text is never rejected: it decodes by these rules. Lengths and positions count
// UTF-16 code units.
std::vector<uint8_t> HexStringToBinary(std::string_view text);

// Thrown by Base64Encode when the source is too large for the length computation
// (4 x length would not stay below 2^31); carries the failure code E_FAIL.
class Base64LengthError : public std::length_error {
public:
    Base64LengthError() : std::length_error("Base64Encode: source too large (E_FAIL 0x80004005)") {}
    static constexpr uint32_t kHResult = 0x80004005u;
};

// The capacity Base64Encode requires for a source of nSrcLen bytes (no line breaks, padded):
// r = 4n/3 + n%3, with the part beyond the last whole 76-character line rounded up to a
// multiple of 4; equals 4 x ceil(n/3). Throws Base64LengthError when 4n >= 2^31.
// A negative length gives 0.
int32_t Base64EncodeGetRequiredLength(int32_t nSrcLen);

// Standard base64 (RFC 4648 alphabet, "=" padding, no line breaks, single-byte characters).
// False when pbDest or pnDestLen is null, when the source pointer is null with a non-zero
// length, when nSrcLen is negative, or when *pnDestLen is smaller than the required length
// (then nothing is written and *pnDestLen is unchanged). On success *pnDestLen is the number
// of characters written; no terminating NUL is added. Throws Base64LengthError as above.
bool Base64Encode(const uint8_t* pbSrc, int32_t nSrcLen, uint8_t* pbDest, int32_t* pnDestLen);

// Convenience: the whole encoding as a string.
std::string Base64Encode(const uint8_t* pbSrc, std::size_t nSrcLen);

// The bytes of standard base64 text ("=" padding optional, nothing else allowed); nullopt for
// any other character or a length no encoding has.
std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text);

// The UTF-16LE bytes of a UTF-8 text (lossless, unpaired surrogates kept), as the exception
// texts are base64-encoded from them.
std::vector<uint8_t> Utf16LeBytes(std::string_view utf8);

}  // namespace NAMESPACE_COMMON
