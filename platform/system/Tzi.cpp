#include "platform/system/Tzi.h"

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

std::array<uint8_t, kTziSize> PackTzi(const TziRule& rule) {
    std::array<uint8_t, kTziSize> bytes{};
    std::size_t at = 0;
    auto put16 = [&](uint16_t v) {
        bytes[at++] = static_cast<uint8_t>(v & 0xFF);
        bytes[at++] = static_cast<uint8_t>(v >> 8);
    };
    auto put32 = [&](int32_t v) {
        const auto u = static_cast<uint32_t>(v);
        put16(static_cast<uint16_t>(u & 0xFFFF));
        put16(static_cast<uint16_t>(u >> 16));
    };
    auto putDate = [&](const TziDate& d) {
        for (uint16_t v : {d.year, d.month, d.dayOfWeek, d.day, d.hour, d.minute, d.second, d.milliseconds})
            put16(v);
    };
    put32(rule.bias);
    put32(rule.standardBias);
    put32(rule.daylightBias);
    putDate(rule.standardDate);
    putDate(rule.daylightDate);
    return bytes;
}

bool ParseTzi(const uint8_t* bytes, std::size_t size, TziRule& out) {
    if (bytes == nullptr || size != kTziSize) return false;
    // From here every read is inside the 44 bytes: 3 x 4 + 2 x 8 x 2.
    std::size_t at = 0;
    auto get16 = [&] {
        const auto v = static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8));
        at += 2;
        return v;
    };
    auto get32 = [&] {
        const uint32_t low = get16();
        const uint32_t high = get16();
        return static_cast<int32_t>(low | (high << 16));
    };
    auto getDate = [&](TziDate& d) {
        for (uint16_t* v :
             {&d.year, &d.month, &d.dayOfWeek, &d.day, &d.hour, &d.minute, &d.second, &d.milliseconds})
            *v = get16();
    };
    TziRule rule;
    rule.bias = get32();
    rule.standardBias = get32();
    rule.daylightBias = get32();
    getDate(rule.standardDate);
    getDate(rule.daylightDate);
    out = rule;
    return true;
}

}  // namespace nx::sys
