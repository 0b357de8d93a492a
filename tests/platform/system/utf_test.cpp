#include "platform/system/Utf.h"

#include <gtest/gtest.h>

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
