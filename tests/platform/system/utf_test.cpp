#include "platform/system/Utf.h"

#include <gtest/gtest.h>

using nx::sys::DecodeUtf8;
using nx::sys::Utf16Length;
using nx::sys::Utf16ToUtf8;
using nx::sys::Utf8ToUtf16;

TEST(Utf, RoundTripsEveryKindOfUtf16TextLosslessly) {
    const std::u16string cases[] = {
        u"",
        u"plain ASCII",
        u"Gr\u00FC\u00DFe \u20AC",                           // two- and three-byte sequences
        u"\U0001F600 non-BMP",                               // surrogate pair -> four bytes
        std::u16string(1, char16_t(0xD800)),                 // lone high surrogate
        std::u16string(1, char16_t(0xDC00)),                 // lone low surrogate
        std::u16string{char16_t(0xDC00), char16_t(0xD800)},  // reversed pair stays two units
        std::u16string{u'a', char16_t(0), u'b'},             // embedded zero
    };
    for (const auto& s : cases) {
        EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(s)), s);
        EXPECT_EQ(Utf16Length(Utf16ToUtf8(s)), s.size());
    }
}

// Runs of ASCII are converted a word at a time: a character that is not ASCII at every offset
// of a long text (and texts longer than the conversions' internal buffers) must come out as one
// character at a time would give it.
TEST(Utf, ConvertsEveryPositionOfLongTexts) {
    struct Char {
        std::u16string units;
        std::string bytes;
    };
    const Char chars[] = {
        {u"\u00E9", "\xC3\xA9"},
        {u"\u20AC", "\xE2\x82\xAC"},
        {u"\U0001F600", "\xF0\x9F\x98\x80"},
        {u"\u007F", "\x7F"},
    };
    for (const Char& c : chars)
        for (std::size_t length : {20u, 1500u})
            for (std::size_t at = 0; at < 18; ++at) {
                const std::size_t where = length == 20 ? at : length - 1 - at;  // near both ends
                std::u16string units(length, u'x');
                std::string bytes(length, 'x');
                units.replace(where, 1, c.units);
                bytes.replace(where, 1, c.bytes);
                EXPECT_EQ(Utf16ToUtf8(units), bytes) << where;
                EXPECT_EQ(Utf8ToUtf16(bytes), units) << where;
                EXPECT_EQ(Utf16Length(bytes), units.size()) << where;
            }
}

TEST(Utf, EncodesAsUtf8AndMarksForeignBytes) {
    EXPECT_EQ(Utf16ToUtf8(u"\u00E9"), "\xC3\xA9");
    EXPECT_EQ(Utf16ToUtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xED\xA0\x80");
    struct Bad {
        const char* bytes;
        std::u16string expect;
    } bad[] = {
        {"\x80", u"\uFFFD"},                                // stray continuation byte
        {"\xC3", u"\uFFFD"},                                // truncated sequence
        {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // overlong
        {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"a\xFFz", u"a\uFFFDz"},
    };
    for (const auto& b : bad) EXPECT_EQ(Utf8ToUtf16(b.bytes), b.expect) << b.bytes;
}

// What one step of the decoder takes: a character's code point and bytes, or for malformed bytes
// their longest start that could still have been a character (what the XML wrapper replaces with
// one U+FFFD; the conversions above replace each byte).
TEST(Utf, DecodesOneCharacterOrTheLongestMalformedStart) {
    const struct {
        const char* bytes;
        uint32_t code;  // checked for characters only
        std::size_t size;
        bool malformed;
        bool wellFormed;
    } cases[] = {
        {"A", 0x41, 1, false, true},
        {"\xC3\xA9", 0xE9, 2, false, true},
        {"\xE2\x82\xAC", 0x20AC, 3, false, true},
        {"\xF0\x9F\x98\x80", 0x1F600, 4, false, true},
        {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4, false, true},
        {"\xED\xA0\x80", 0xD800, 3, false, false},  // an encoded surrogate: generalised, not strict
        {"\x80", 0, 1, true, false},                // stray continuation byte
        {"\xC0\xAF", 0, 1, true, false},            // overlong two-byte form: its lead alone
        {"\xE0\x9F\xBF", 0, 1, true, false},        // overlong three-byte form
        {"\xF4\x90\x80\x80", 0, 1, true, false},    // above U+10FFFF
        {"\xF5\x80", 0, 1, true, false},            // a lead no character has
        {"\xE2\x82", 0, 2, true, false},            // cut at the end of the text
        {"\xF0\x9F\x98"
         "A",
         0, 3, true, false},  // cut by another character
    };
    for (const auto& c : cases) {
        const auto d = DecodeUtf8(c.bytes, 0);
        EXPECT_EQ(d.size, c.size) << c.bytes;
        EXPECT_EQ(d.malformed, c.malformed) << c.bytes;
        EXPECT_EQ(d.WellFormed(), c.wellFormed) << c.bytes;
        if (!c.malformed) {
            EXPECT_EQ(d.code, c.code) << c.bytes;
        }
    }
}
