#include "common/Encoding.h"

#include <climits>
#include <new>
#include <type_traits>

#include "platform/system/Utf.h"

namespace NAMESPACE_COMMON {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsAsciiSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

struct HexTable {
    int8_t values[256];
    constexpr HexTable() : values() {
        for (int c = 0; c < 256; ++c) values[c] = -1;
        for (int c = '0'; c <= '9'; ++c) values[c] = static_cast<int8_t>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) values[c] = static_cast<int8_t>(c - 'a' + 10);
        for (int c = 'A'; c <= 'F'; ++c) values[c] = static_cast<int8_t>(c - 'A' + 10);
    }
};
constexpr HexTable kHex;

int HexValue(char16_t c) {
    return c < 256 ? kHex.values[c] : -1;
}

// wcstol(s, nullptr, 16) over the (at most two) units of s.
long ParseBase16(std::u16string_view s) {
    std::size_t i = 0;
    while (i < s.size() && IsAsciiSpace(s[i])) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        negative = s[i] == u'-';
        ++i;
    }
    // "0x" belongs to the number only when a hex digit follows it.
    if (i + 2 < s.size() && s[i] == u'0' && (s[i + 1] == u'x' || s[i + 1] == u'X') && HexValue(s[i + 2]) >= 0)
        i += 2;
    long value = 0;
    for (; i < s.size(); ++i) {
        const int d = HexValue(s[i]);
        if (d < 0) break;
        value = value * 16 + d;
    }
    return negative ? -value : value;
}

}  // namespace

std::string BinaryToHexString(const uint8_t* lpb, uint32_t cb) {
    std::string result;
    if (lpb == nullptr || cb == 0) return result;
    try {
        result.resize(static_cast<std::size_t>(cb) * 2);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
    for (uint32_t i = 0; i < cb; ++i) {
        result[2 * i] = kHexDigits[lpb[i] >> 4];
        result[2 * i + 1] = kHexDigits[lpb[i] & 0x0F];
    }
    return result;
}

namespace {

// The decoding rules over a text of code units (UTF-16, or plain ASCII where units and bytes
// coincide).
template <typename Unit>
std::vector<uint8_t> DecodeHex(std::basic_string_view<Unit> text) {
    std::vector<uint8_t> bytes;
    const std::size_t length = text.size();
    if (length < 2) return bytes;
    std::size_t skip = 0;
    if (text[0] == Unit('x') || text[0] == Unit('X')) skip = 1;
    if (text[1] == Unit('x') || text[1] == Unit('X')) skip = 2;
    const std::size_t count = skip == 0 ? length / 2 : (length - skip + 1) / 2;
    if (count == 0) return bytes;
    try {
        bytes.resize(count);
    } catch (const std::bad_alloc&) {
        return std::vector<uint8_t>();
    }
    for (std::size_t k = 0; k < count; ++k) {
        const std::size_t pos = skip + 2 * k;
        const int high = HexValue(static_cast<std::make_unsigned_t<Unit>>(text[pos]));
        const int low =
            pos + 1 < length ? HexValue(static_cast<std::make_unsigned_t<Unit>>(text[pos + 1])) : -1;
        long value = 0;
        if (high >= 0 && low >= 0) {
            value = high * 16 + low;  // the common case
        } else {
            char16_t pair[2] = {static_cast<char16_t>(text[pos]),
                                pos + 1 < length ? static_cast<char16_t>(text[pos + 1]) : u'\0'};
            value = ParseBase16(std::u16string_view(pair, pos + 1 < length ? 2 : 1));
        }
        bytes[k] = static_cast<uint8_t>(static_cast<unsigned long>(value) & 0xFF);
    }
    return bytes;
}

}  // namespace

std::vector<uint8_t> HexStringToBinary(std::string_view text) {
    // Positions count UTF-16 units; for ASCII text (the usual case) they are the bytes.
    bool ascii = true;
    for (const char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) {
            ascii = false;
            break;
        }
    }
    if (ascii) return DecodeHex<char>(text);
    std::u16string wide;
    try {
        wide = nx::sys::Utf8ToUtf16(text);
    } catch (const std::bad_alloc&) {
        return std::vector<uint8_t>();
    }
    return DecodeHex<char16_t>(wide);
}

int32_t Base64EncodeGetRequiredLength(int32_t nSrcLen) {
    if (nSrcLen < 0) return 0;
    const int64_t times4 = static_cast<int64_t>(nSrcLen) * 4;
    if (times4 > INT_MAX) throw Base64LengthError();
    int32_t required = static_cast<int32_t>(times4 / 3) + nSrcLen % 3;
    const int32_t onLastLine = required % 76;
    if (onLastLine % 4 != 0) required += 4 - onLastLine % 4;
    return required;
}

bool Base64Encode(const uint8_t* pbSrc, int32_t nSrcLen, uint8_t* pbDest, int32_t* pnDestLen) {
    if (pbDest == nullptr || pnDestLen == nullptr) return false;
    if (nSrcLen < 0 || (pbSrc == nullptr && nSrcLen != 0)) return false;
    const int32_t required = Base64EncodeGetRequiredLength(nSrcLen);
    if (*pnDestLen < required) return false;

    int32_t written = 0;
    int32_t i = 0;
    for (; i + 3 <= nSrcLen; i += 3) {
        const uint32_t group = (uint32_t{pbSrc[i]} << 16) | (uint32_t{pbSrc[i + 1]} << 8) | pbSrc[i + 2];
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[(group >> 18) & 0x3F]);
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[(group >> 12) & 0x3F]);
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[(group >> 6) & 0x3F]);
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[group & 0x3F]);
    }
    const int32_t rest = nSrcLen - i;
    if (rest > 0) {
        uint32_t group = uint32_t{pbSrc[i]} << 16;
        if (rest == 2) group |= uint32_t{pbSrc[i + 1]} << 8;
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[(group >> 18) & 0x3F]);
        pbDest[written++] = static_cast<uint8_t>(kBase64Alphabet[(group >> 12) & 0x3F]);
        pbDest[written++] = rest == 2 ? static_cast<uint8_t>(kBase64Alphabet[(group >> 6) & 0x3F]) : '=';
        pbDest[written++] = '=';
    }
    *pnDestLen = written;
    return true;
}

std::optional<std::vector<uint8_t>> Base64Decode(std::string_view text) {
    while (!text.empty() && text.back() == '=') text.remove_suffix(1);
    if (text.size() % 4 == 1) return std::nullopt;
    std::vector<uint8_t> out;
    out.reserve(text.size() * 3 / 4);
    uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
        int value = -1;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        if (value < 0) return std::nullopt;
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if ((count += 6) >= 8) {
            count -= 8;
            out.push_back(static_cast<uint8_t>(bits >> count));
        }
    }
    return out;
}

std::string Base64Encode(const uint8_t* pbSrc, std::size_t nSrcLen) {
    if (nSrcLen > static_cast<std::size_t>(INT32_MAX)) throw Base64LengthError();
    const auto n = static_cast<int32_t>(nSrcLen);
    int32_t capacity = Base64EncodeGetRequiredLength(n);
    std::string out(static_cast<std::size_t>(capacity), '\0');
    if (!Base64Encode(pbSrc, n, reinterpret_cast<uint8_t*>(out.data()), &capacity)) return std::string();
    out.resize(static_cast<std::size_t>(capacity));
    return out;
}

std::vector<uint8_t> Utf16LeBytes(std::string_view utf8) {
    const std::u16string wide = nx::sys::Utf8ToUtf16(utf8);
    std::vector<uint8_t> bytes(wide.size() * 2);
    for (std::size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
    }
    return bytes;
}

}  // namespace NAMESPACE_COMMON
