#include "platform/system/Tzi.h"

#include <algorithm>
#include <cassert>
#include <vector>

#include "platform/system/ByteCursor.h"

namespace nx::sys {

TziDate YearlyRuleDate(int month, int week, int dayOfWeek, int64_t millisInDay) {
    TziDate d;
    d.month = static_cast<uint16_t>(month);
    d.day = static_cast<uint16_t>(week);
    d.dayOfWeek = static_cast<uint16_t>(dayOfWeek);
    d.hour = static_cast<uint16_t>(millisInDay / 3600000);
    d.minute = static_cast<uint16_t>(millisInDay / 60000 % 60);
    d.second = static_cast<uint16_t>(millisInDay / 1000 % 60);
    d.milliseconds = static_cast<uint16_t>(millisInDay % 1000);
    return d;
}

namespace {

void PutDate(ByteWriter& w, const TziDate& d) {
    for (uint16_t v : {d.year, d.month, d.dayOfWeek, d.day, d.hour, d.minute, d.second, d.milliseconds})
        w.Put16(v);
}

bool ReadDate(ByteReader& r, TziDate& d) {
    bool read = true;
    for (uint16_t* v :
         {&d.year, &d.month, &d.dayOfWeek, &d.day, &d.hour, &d.minute, &d.second, &d.milliseconds})
        read = read && r.Read(*v);
    return read;
}

}  // namespace

std::array<uint8_t, kTziSize> PackTzi(const TziRule& rule) {
    std::vector<uint8_t> bytes;
    bytes.reserve(kTziSize);
    ByteWriter w(bytes);
    w.Put32(static_cast<uint32_t>(rule.bias));
    w.Put32(static_cast<uint32_t>(rule.standardBias));
    w.Put32(static_cast<uint32_t>(rule.daylightBias));
    assert(w.Size() == kTziStandardDateAt);
    PutDate(w, rule.standardDate);
    assert(w.Size() == kTziDaylightDateAt);
    PutDate(w, rule.daylightDate);
    assert(w.Size() == kTziSize);
    std::array<uint8_t, kTziSize> packed;
    std::copy(bytes.begin(), bytes.end(), packed.begin());
    return packed;
}

bool ParseTzi(const uint8_t* bytes, std::size_t size, TziRule& out) {
    if (bytes == nullptr || size != kTziSize) return false;
    ByteReader r(std::span(bytes, size));
    TziRule rule;
    [[maybe_unused]] const bool whole = r.Read(rule.bias) && r.Read(rule.standardBias) &&
                                        r.Read(rule.daylightBias) && ReadDate(r, rule.standardDate) &&
                                        ReadDate(r, rule.daylightDate);
    assert(whole && r.Remaining() == 0);  // 3 x 4 + 2 x 8 x 2 bytes: every field was there
    out = rule;
    return true;
}

}  // namespace nx::sys
