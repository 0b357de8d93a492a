#include "platform/system/Utf.h"

#include <bit>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace nx::sys {
namespace {

constexpr char16_t kReplacement = 0xFFFD;
// The runs of ASCII below are read a machine word at a time, lowest address in the low bits.
static_assert(std::endian::native == std::endian::little);

// Four ASCII bytes (the low half of `word`) as four UTF-16 units: each byte moved into the low
// half of its own unit.
uint64_t Spread(uint64_t word) {
    uint64_t x = word & 0xFFFFFFFFu;
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFull;
    return (x | (x << 8)) & 0x00FF00FF00FF00FFull;
}

// Four ASCII UTF-16 units as four bytes: each unit's low byte moved next to the one before.
uint32_t Narrow(uint64_t word) {
    uint64_t x = (word | (word >> 8)) & 0x0000FFFF0000FFFFull;
    x = x | (x >> 16);
    return static_cast<uint32_t>(x);
}

// `sink` takes one unit, `sink8` eight ASCII units (two words of four, lowest address first).
template <typename Sink, typename Sink8>
void Decode(std::string_view s, Sink&& sink, Sink8&& sink8) {
    std::size_t i = 0;
    while (i < s.size()) {
        // Runs of ASCII eight bytes at a time.
        while (i + 8 <= s.size()) {
            uint64_t word;
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) != 0) break;
            sink8(Spread(word), Spread(word >> 32));
            i += 8;
        }
        if (i >= s.size()) break;
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
    // Never more units than bytes; for ASCII exactly as many. The units go through a small
    // buffer appended when nearly full, so no worst-case size is filled with zeros first.
    out.clear();
    out.reserve(utf8.size());
    char16_t buffer[256];
    char16_t* next = buffer;
    const auto room = [&] {
        if (next > buffer + std::size(buffer) - 8) {
            out.append(buffer, static_cast<std::size_t>(next - buffer));
            next = buffer;
        }
    };
    Decode(
        utf8,
        [&](char16_t c) {
            room();
            *next++ = c;
        },
        [&](uint64_t low, uint64_t high) {
            room();
            std::memcpy(next, &low, sizeof low);
            std::memcpy(next + 4, &high, sizeof high);
            next += 8;
        });
    out.append(buffer, static_cast<std::size_t>(next - buffer));
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    AssignUtf16(out, utf8);
    return out;
}

std::size_t Utf16Length(std::string_view utf8) {
    std::size_t n = 0;
    Decode(
        utf8, [&](char16_t) { ++n; }, [&](uint64_t, uint64_t) { n += 8; });
    return n;
}

std::string Utf16ToUtf8(std::u16string_view s) {
    // One byte a unit for ASCII, at most three (a pair's four bytes come from two units). The
    // bytes go through a small buffer appended when nearly full (a step writes at most four), so
    // no worst-case size is filled with zeros first.
    std::string out;
    out.reserve(s.size());
    char buffer[512];
    char* next = buffer;
    const auto put = [&](uint32_t byte) { *next++ = static_cast<char>(byte); };
    const auto room = [&] {
        if (next > buffer + sizeof buffer - 8) {
            out.append(buffer, static_cast<std::size_t>(next - buffer));
            next = buffer;
        }
    };
    for (std::size_t i = 0; i < s.size(); ++i) {
        // Runs of ASCII (all of a typical document) four units at a time.
        while (i + 4 <= s.size()) {
            room();
            uint64_t word;
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0xFF80FF80FF80FF80ull) != 0) break;
            const uint32_t bytes = Narrow(word);
            std::memcpy(next, &bytes, sizeof bytes);
            next += sizeof bytes;
            i += 4;
        }
        if (i >= s.size()) break;
        room();
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
    out.append(buffer, static_cast<std::size_t>(next - buffer));
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
