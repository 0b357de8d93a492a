// The "TZI" value of a registry zone (and of each year of its "Dynamic DST" key): a REG_BINARY
// of 44 bytes, little-endian, laid out as Bias, StandardBias, DaylightBias (LONG) and
// StandardDate, DaylightDate (SYSTEMTIME: eight WORDs, year first). The one packing of that
// layout: the Windows zone source reads registry values with it, the common layer's zone records
// are written and read through it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace nx::sys {

inline constexpr std::size_t kTziSize = 44;
// Where each date starts (after the three biases) and its size: layouts that embed this one (an
// appointment's zone struct puts a year before each date) place the dates by these.
inline constexpr std::size_t kTziStandardDateAt = 12;
inline constexpr std::size_t kTziDaylightDateAt = 28;
inline constexpr std::size_t kTziDateSize = 16;

// A transition date in the SYSTEMTIME field order. Year 0: a yearly rule whose day is the week
// of the month (5 = last); all zero: no transition.
struct TziDate {
    uint16_t year = 0, month = 0, dayOfWeek = 0, day = 0, hour = 0, minute = 0, second = 0, milliseconds = 0;
    friend bool operator==(const TziDate&, const TziDate&) = default;
};

struct TziRule {
    int32_t bias = 0;  // minutes, UTC = local + bias
    int32_t standardBias = 0;
    int32_t daylightBias = 0;
    TziDate standardDate;
    TziDate daylightDate;
    friend bool operator==(const TziRule&, const TziRule&) = default;
};

// A yearly rule's date: `week` of the month (5 = last) on `dayOfWeek` (0 = Sunday) of `month`,
// at `millisInDay` (0 to 86,399,999) wall-clock time.
TziDate YearlyRuleDate(int month, int week, int dayOfWeek, int64_t millisInDay);

std::array<uint8_t, kTziSize> PackTzi(const TziRule& rule);

// Reads a registry value as a rule. Only a value of exactly 44 bytes is one (the kernel reads
// the value into a 44-byte structure and refuses a longer one; a shorter one is not a zone).
// False, with `out` untouched, otherwise.
bool ParseTzi(const uint8_t* bytes, std::size_t size, TziRule& out);

}  // namespace nx::sys
