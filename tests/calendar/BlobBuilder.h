// Test blobs written field by field from the published layout, little-endian, so that an expected
// byte string is spelled out by the test rather than produced by the code under test.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace calendar_test {

struct Blob {
    std::vector<uint8_t> bytes;
    Blob& u16(uint32_t v) {
        bytes.push_back(static_cast<uint8_t>(v));
        bytes.push_back(static_cast<uint8_t>(v >> 8));
        return *this;
    }
    Blob& u32(uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
    Blob& u32s(std::initializer_list<uint32_t> vs) {
        for (uint32_t v : vs) u32(v);
        return *this;
    }
    Blob& u16s(std::initializer_list<uint32_t> vs) {
        for (uint32_t v : vs) u16(v);
        return *this;
    }
    Blob& raw(const std::string& s) {
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Blob& wide(const std::u16string& s) {  // a 2-byte length in units, then the units
        u16(static_cast<uint32_t>(s.size()));
        for (char16_t c : s) u16(c);
        return *this;
    }
    Blob& append(const Blob& other) {
        bytes.insert(bytes.end(), other.bytes.begin(), other.bytes.end());
        return *this;
    }
};

// The head of a pattern up to and including SlidingFlag (22 bytes).
inline Blob Head(uint16_t frequency, uint16_t patternType, uint32_t firstDateTime, uint32_t period,
                 uint16_t calendarType = 0) {
    return Blob()
        .u16(0x3004)
        .u16(0x3004)
        .u16(frequency)
        .u16(patternType)
        .u16(calendarType)
        .u32(firstDateTime)
        .u32(period)
        .u32(0);
}

// EndType .. FirstDOW (12 bytes).
inline Blob EndRule(uint32_t endType, uint32_t occurrences) {
    return Blob().u32(endType).u32(occurrences).u32(0);
}

// StartDate .. EndTimeOffset (24 bytes).
inline Blob Dates(uint32_t startDate, uint32_t endDate, uint32_t startOffset, uint32_t endOffset,
                  uint32_t writerVersion2 = 0x3008) {
    return Blob().u32(startDate).u32(endDate).u32(0x3006).u32(writerVersion2).u32(startOffset).u32(endOffset);
}

// Minutes since 1601-01-01 of dates used throughout (worked out by hand: days since 1601 x 1440).
inline constexpr uint32_t k20000301 = 209939040;
inline constexpr uint32_t k20090101 = 214587360;
inline constexpr uint32_t k20090301 = 214672320;  // a Sunday
inline constexpr uint32_t k20090302 = 214673760;
inline constexpr uint32_t k20090304 = 214676640;
inline constexpr uint32_t k20090308 = 214682400;  // a Sunday
inline constexpr uint32_t k20090310 = 214685280;
inline constexpr uint32_t k20090311 = 214686720;
inline constexpr uint32_t k20090312 = 214688160;
inline constexpr uint32_t k20090315 = 214692480;
inline constexpr uint32_t k20090317 = 214695360;
inline constexpr uint32_t k20090318 = 214696800;
inline constexpr uint32_t k20090331 = 214715520;
inline constexpr uint32_t k20090404 = 214721280;
inline constexpr uint32_t k20090407 = 214725600;
inline constexpr uint32_t k20090604 = 214809120;
inline constexpr uint32_t k20091126 = 215061120;
inline constexpr uint32_t k20120301 = 216250560;
inline constexpr uint32_t k20131128 = 217167840;
inline constexpr uint32_t kNoEnd = 0x5AE980DF;  // 4500-12-31 23:59

// A weekly series (Wednesdays 09:30 to 10:30 from 2009-03-04, ten occurrences) whose 2009-03-11
// occurrence is deleted and whose 2009-03-18 one moved to 10:00 with the subject "Moved".
inline std::vector<uint8_t> WeeklyWithExceptions(uint16_t calendarType = 0) {
    Blob b = Blob().append(Head(0x200B, 1, 0, 1, calendarType)).u32(1 << 3);  // Wednesday
    // Two deleted dates, one modified, then the dates and one exception.
    b.append(EndRule(0x2023, 10)).u32s({2, k20090311, k20090318, 1, k20090318});
    b.append(Dates(k20090304, kNoEnd, 570, 630)).u16(1);
    b.u32s({k20090318 + 600, k20090318 + 660, k20090318 + 570}).u16s({0x0001, 6, 5}).raw("Moved");
    b.u32(0);  // ReservedBlock1Size
    b.u32s({0, k20090318 + 600, k20090318 + 660, k20090318 + 570}).wide(u"Moved").u32(0);
    return b.u32(0).bytes;  // ReservedBlock2Size
}

}  // namespace calendar_test
