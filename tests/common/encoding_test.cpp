#include "common/Encoding.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/StringEx.h"

using namespace NAMESPACE_COMMON;

namespace {
std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<uint8_t> v;
    for (int x : values) v.push_back(static_cast<uint8_t>(x));
    return v;
}
}  // namespace

TEST(BinaryToHexString, WritesUpperCaseTwoDigitsPerByte) {
    const struct {
        std::vector<uint8_t> bytes;
        const char* expect;
    } cases[] = {
        {Bytes({0x00, 0x0A, 0xFF}), "000AFF"},
        {Bytes({0x01}), "01"},
        {Bytes({0xDE, 0xAD, 0xBE, 0xEF, 0x10}), "DEADBEEF10"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BinaryToHexString(c.bytes.data(), static_cast<uint32_t>(c.bytes.size())), c.expect);
    const uint8_t one = 0x42;
    EXPECT_EQ(BinaryToHexString(nullptr, 5), "");
    EXPECT_EQ(BinaryToHexString(&one, 0), "");
}

TEST(HexStringToBinary, FollowsThePrefixOddLengthAndPartialConversionRules) {
    const struct {
        const char* text;
        std::vector<uint8_t> expect;
    } cases[] = {
        {"000AFF", Bytes({0x00, 0x0A, 0xFF})},
        {"000aff", Bytes({0x00, 0x0A, 0xFF})},
        {"ABC", Bytes({0xAB})},  // no prefix: final lone digit ignored
        {"0xAB", Bytes({0xAB})},
        {"0XAB", Bytes({0xAB})},
        {"xAB", Bytes({0xAB})},
        {"XAB", Bytes({0xAB})},
        {"xABC", Bytes({0xAB, 0x0C})},  // prefix: final lone digit is a byte
        {"0xABC", Bytes({0xAB, 0x0C})},
        {"A", {}},  // one character: nothing
        {"", {}},
        {"xx", {}},  // second test wins: 2 skipped, nothing left
        {"0x", {}},
        {"x0", Bytes({0x00})},
        {"xx1", Bytes({0x01})},
        // Pairs are read the way wcstol(s, 0, 16) reads them.
        {"G1", Bytes({0x00})},  // no usable digit
        {"1G", Bytes({0x01})},  // stops at the first unusable character
        {" F", Bytes({0x0F})},  // leading blank skipped
        {"-1", Bytes({0xFF})},  // sign, low 8 bits kept
        {"+A", Bytes({0x0A})},
        {"zz00", Bytes({0x00, 0x00})},
        {"\xC3\xA9"
         "12",
         Bytes({0x00})},  // "é12": three UTF-16 units, so one byte ("é1")
        {"AB\xC3\xA9"
         "1",
         Bytes({0xAB, 0x00})},
    };
    for (const auto& c : cases) EXPECT_EQ(HexStringToBinary(c.text), c.expect) << '"' << c.text << '"';
}

TEST(Base64Encode, EncodesWithPaddingAndNoLineBreaks) {
    const struct {
        std::string source;
        const char* expect;
    } cases[] = {
        {"abc", "YWJj"},        {std::string(1, '\0'), "AA=="}, {"ab", "YWI="}, {"", ""},
        {"Man is", "TWFuIGlz"}, {"\xFB\xFF\xBF", "+/+/"},  // the last two alphabet characters
    };
    for (const auto& c : cases) {
        uint8_t out[64] = {};
        int32_t length = sizeof out;
        ASSERT_TRUE(Base64Encode(reinterpret_cast<const uint8_t*>(c.source.data()),
                                 static_cast<int32_t>(c.source.size()), out, &length));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(length)), c.expect);
        EXPECT_EQ(out[length], 0) << "nothing written past the text";
    }
    // 57 bytes make exactly one 76-character line; still no line break anywhere.
    const std::string long_source(100, 'x');
    const std::string encoded =
        Base64Encode(reinterpret_cast<const uint8_t*>(long_source.data()), long_source.size());
    EXPECT_EQ(encoded.size(), 136u);
    EXPECT_EQ(encoded.find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Encode, RefusesShortOrMissingDestinations) {
    const uint8_t one = 0;
    uint8_t out[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    int32_t capacity = 3;
    EXPECT_FALSE(Base64Encode(&one, 1, out, &capacity));
    EXPECT_EQ(capacity, 3) << "length output unchanged";
    EXPECT_EQ(out[0], 0x55) << "nothing written";
    capacity = 4;
    EXPECT_TRUE(Base64Encode(&one, 1, out, &capacity));
    EXPECT_EQ(capacity, 4);
    EXPECT_FALSE(Base64Encode(&one, 1, nullptr, &capacity));
    EXPECT_FALSE(Base64Encode(&one, 1, out, nullptr));
    EXPECT_FALSE(Base64Encode(nullptr, 1, out, &capacity));
    EXPECT_FALSE(Base64Encode(&one, -1, out, &capacity));
}

TEST(Base64Encode, RequiredLengthIsFourPerStartedGroup) {
    EXPECT_EQ(Base64EncodeGetRequiredLength(0), 0);
    EXPECT_EQ(Base64EncodeGetRequiredLength(57), 76);
    EXPECT_EQ(Base64EncodeGetRequiredLength(58), 80);
    EXPECT_NO_THROW(Base64EncodeGetRequiredLength(INT_MAX / 4));
    EXPECT_THROW(Base64EncodeGetRequiredLength(INT_MAX / 4 + 1), Base64LengthError);
}

TEST(Base64Encode, EncodesUtf16LeBytesOfText) {
    // Exception subjects are encoded from their UTF-16LE bytes.
    const std::vector<uint8_t> bytes = Utf16LeBytes("A\xC3\xA9");  // "Aé"
    EXPECT_EQ(bytes, Bytes({0x41, 0x00, 0xE9, 0x00}));
    EXPECT_EQ(Base64Encode(bytes.data(), bytes.size()), "QQDpAA==");
    EXPECT_EQ(Utf16LeBytes("\xF0\x9F\x98\x80"), Bytes({0x3D, 0xD8, 0x00, 0xDE}));  // surrogate pair
    EXPECT_EQ(Utf16LeBytes("\xED\xA0\x80"), Bytes({0x00, 0xD8}));  // an unpaired surrogate stays itself
}

TEST(CStringEx, GetNextTokenWalksASeparatedText) {
    const struct {
        const char* text;
        const char* separator;
        std::vector<std::string> tokens;  // successive results
        const char* rest;                 // text left afterwards
    } cases[] = {
        {"2009-05-12", "-", {"2009", "05", "12", ""}, ""},
        {"12:30", ":", {"12", "30", "", ""}, ""},
        {":30", ":", {"", "30", ""}, ""},  // separator first: an empty token
        {"a--b", "-", {"a", "", "b"}, ""},
        {"a::b::", "::", {"a", "b", ""}, ""},
        {"abc", "", {"abc", "abc"}, "abc"},  // empty separator: copy, text unchanged
        {"", "-", {"", ""}, ""},
        {"no separator", "-", {"no separator", ""}, ""},
        {"\xC3\xA9-\xC3\xA8", "-", {"\xC3\xA9", "\xC3\xA8"}, ""},
    };
    for (const auto& c : cases) {
        CStringEx text(c.text);
        for (const std::string& expect : c.tokens)
            EXPECT_EQ(text.GetNextToken(c.separator), expect) << c.text;
        EXPECT_EQ(text.GetString(), c.rest) << c.text;
    }
}

TEST(ParseDecimalLong, ReadsAsTheCLibraryReadsALong) {
    const struct {
        const char* text;
        int32_t value;
    } cases[] = {
        {"42", 42},
        {"  -7", -7},
        {"+5x", 5},
        {"abc", 0},
        {"", 0},
        {"\t\n12", 12},
        {"1.9", 1},
        {"-", 0},
        {"0x10", 0},
        {"2147483647", 2147483647},
        {"2147483648", 2147483647},
        {"-2147483648", INT32_MIN},
        {"-99999999999999999999", INT32_MIN},
    };
    for (const auto& c : cases) EXPECT_EQ(ParseDecimalLong(c.text), c.value) << c.text;
}
