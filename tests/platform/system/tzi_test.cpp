// The registry's 44-byte "TZI" value: its layout, and which values are read as a zone's rule.
#include "platform/system/Tzi.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using nx::sys::TziRule;

// Eastern: bias 300, daylight -60; back to standard on November's 1st Sunday at 02:00, to
// daylight on March's 2nd Sunday at 02:00.
const TziRule kEastern{300, 0, -60, {0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0}};
const std::vector<uint8_t> kEasternBytes = {
    0x2C, 0x01, 0,  0, 0, 0, 0, 0, 0xC4, 0xFF, 0xFF, 0xFF,              // 300, 0, -60
    0,    0,    11, 0, 0, 0, 1, 0, 2,    0,    0,    0,    0, 0, 0, 0,  // November, 1st Sunday, 02:00
    0,    0,    3,  0, 0, 0, 2, 0, 2,    0,    0,    0,    0, 0, 0, 0,  // March, 2nd Sunday, 02:00
};

TEST(Tzi, PacksAndReadsTheRegistryLayout) {
    const auto packed = nx::sys::PackTzi(kEastern);
    EXPECT_EQ(std::vector<uint8_t>(packed.begin(), packed.end()), kEasternBytes);
    TziRule rule;
    ASSERT_TRUE(nx::sys::ParseTzi(kEasternBytes.data(), kEasternBytes.size(), rule));
    EXPECT_EQ(rule, kEastern);
    // The extremes of every field survive the way through the bytes (sign of the LONGs included).
    const TziRule extremes{
        INT32_MIN, INT32_MAX, -1, {65535, 65535, 65535, 65535, 65535, 65535, 65535, 65535}, {}};
    const auto bytes = nx::sys::PackTzi(extremes);
    ASSERT_TRUE(nx::sys::ParseTzi(bytes.data(), bytes.size(), rule));
    EXPECT_EQ(rule, extremes);
}

TEST(Tzi, OnlyAFortyFourByteValueIsARule) {
    std::vector<uint8_t> longer = kEasternBytes;
    longer.push_back(0);
    const struct {
        const char* what;
        const uint8_t* bytes;
        std::size_t size;
    } refused[] = {
        {"empty", kEasternBytes.data(), 0},
        {"short by one", kEasternBytes.data(), 43},
        {"long by one", longer.data(), longer.size()},
        {"no bytes", nullptr, 44},
    };
    for (const auto& c : refused) {
        TziRule rule = kEastern;
        EXPECT_FALSE(nx::sys::ParseTzi(c.bytes, c.size, rule)) << c.what;
        EXPECT_EQ(rule, kEastern) << c.what << ": a refused value leaves the rule as it was";
    }
}

}  // namespace
