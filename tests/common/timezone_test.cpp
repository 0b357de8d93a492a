#include "common/TimeZone.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "tests/support/ScopedEnv.h"

using namespace NAMESPACE_COMMON;

namespace {

SYSTEMTIME Rule(int month, int week, int dayOfWeek, int hour, int minute = 0) {
    SYSTEMTIME st{};
    st.wMonth = static_cast<uint16_t>(month);
    st.wDay = static_cast<uint16_t>(week);
    st.wDayOfWeek = static_cast<uint16_t>(dayOfWeek);
    st.wHour = static_cast<uint16_t>(hour);
    st.wMinute = static_cast<uint16_t>(minute);
    return st;
}

SYSTEMTIME At(int y, int mo, int d, int h, int mi, int s = 0) {
    SYSTEMTIME st{};
    st.wYear = static_cast<uint16_t>(y);
    st.wMonth = static_cast<uint16_t>(mo);
    st.wDay = static_cast<uint16_t>(d);
    st.wHour = static_cast<uint16_t>(h);
    st.wMinute = static_cast<uint16_t>(mi);
    st.wSecond = static_cast<uint16_t>(s);
    return st;
}

tagNxTimeZone Zone(int bias, int daylightBias, SYSTEMTIME standard, SYSTEMTIME daylight,
                   const char* name = "Zone") {
    tagNxTimeZone z;
    z.DisplayName = name;
    z.StandardName = name;
    z.DaylightName = name;
    z.Bias = bias;
    z.DaylightBias = daylightBias;
    z.StandardDate = standard;
    z.DaylightDate = daylight;
    return z;
}

// The rules the tests convert with: a northern zone (second Sunday of March / first Sunday of
// November), a southern one (first Sunday of October / first Sunday of April) and one using the
// last-week form.
const tagNxTimeZone kEastern = Zone(300, -60, Rule(11, 1, 0, 2), Rule(3, 2, 0, 2), "Eastern Standard Time");
const tagNxTimeZone kSydney =
    Zone(-600, -60, Rule(4, 1, 0, 3), Rule(10, 1, 0, 2), "AUS Eastern Standard Time");
const tagNxTimeZone kCentralEurope =
    Zone(-60, -60, Rule(10, 5, 0, 3), Rule(3, 5, 0, 2), "W. Europe Standard Time");
const tagNxTimeZone kAbsolute = Zone(-60, -60, At(2009, 10, 1, 2, 0), At(2009, 4, 1, 4, 0), "Absolute");
const tagNxTimeZone kIndia = Zone(-330, -60, SYSTEMTIME{}, SYSTEMTIME{}, "India Standard Time");
// Daylight time from the last Tuesday of February, which in 2000 is the 400-year leap day.
const tagNxTimeZone kLeapDay = Zone(0, -60, Rule(10, 5, 0, 2), Rule(2, 5, 2, 2), "Leap Day");

std::string Text(const SYSTEMTIME& st) {
    char b[40];
    std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond);
    return b;
}

const TimeZoneSource kUnreadable{[](TIME_ZONE_INFORMATION&) { return TIME_ZONE_ID_INVALID; }, true};

TimeZoneSource Source(const tagNxTimeZone& zone, bool conversions = true) {
    const TIME_ZONE_INFORMATION tzi = ToTimeZoneInformation(zone);
    return TimeZoneSource{[tzi](TIME_ZONE_INFORMATION& out) {
                              out = tzi;
                              return uint32_t{TIME_ZONE_ID_UNKNOWN};
                          },
                          conversions};
}

std::time_t Utc(int y, int mo, int d) {
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = 12;
    return timegm(&tm);
}

// Pins TZ for one test; on the way out TZ is restored first (the base declared last goes first),
// then the C library reads it again.
struct TzReread {
    ~TzReread() { tzset(); }
};
struct PinnedTz : TzReread, nx::test::ScopedEnv {
    explicit PinnedTz(const char* value) : ScopedEnv("TZ", std::string(value)) { tzset(); }
};

}  // namespace

TEST(FormatTimeZone, WritesTheLongAndTheShortText) {
    const struct {
        tagNxTimeZone zone;
        const char* text;
        const char* key;
    } cases[] = {
        {kEastern, "GMT:+300;DST:60;STD:0000110102000000;DLT:0000030202000000", "GMT:+300;DST:60"},
        {kIndia, "GMT:-330;DST:0;STD:0000000000000000;DLT:0000000000000000", "GMT:-330;DST:0"},
        {Zone(0, -60, SYSTEMTIME{}, SYSTEMTIME{}), "GMT:+0;DST:0;STD:0000000000000000;DLT:0000000000000000",
         "GMT:+0;DST:0"},
        {Zone(-630, -30, Rule(4, 1, 0, 2), Rule(10, 1, 0, 2)),
         "GMT:-630;DST:30;STD:0000040102000000;DLT:0000100102000000", "GMT:-630;DST:30"},
        // Weekday last; a year and seconds are written when the rule has them.
        {Zone(480, -60, At(2007, 10, 28, 23, 59, 59), Rule(3, 5, 6, 23, 59)),
         "GMT:+480;DST:60;STD:2007102823595900;DLT:0000030523590006", "GMT:+480;DST:60"},
        // Out-of-range numbers from a damaged TZI value print without overflow.
        {Zone(INT32_MIN, INT32_MIN, SYSTEMTIME{}, Rule(3, 5, 0, 2)),
         "GMT:-2147483648;DST:-2147483648;STD:0000000000000000;DLT:0000030502000000",
         "GMT:-2147483648;DST:-2147483648"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(FormatTimeZone(c.zone), c.text);
        EXPECT_EQ(FormatTimeZoneKey(c.zone), c.key);
    }
}

TEST(FindTimeZoneIndex, MatchesTheShortKeyOfTheFirstZone) {
    const std::vector<tagNxTimeZone> table = {
        kIndia, Zone(300, -60, Rule(11, 1, 0, 1), Rule(3, 2, 0, 0), "Cuba"), kEastern, kSydney};
    const struct {
        std::vector<tagNxTimeZone> table;
        std::string text;
        int32_t index;
    } cases[] = {
        {{}, "GMT:+300;DST:60", -1},
        {table, "GMT:+300;DST:60", 1},  // two zones with the same key: the first listed
        {table, "GMT:-330;DST:0", 0},
        {table, "GMT:-600;DST:60", 3},
        {table, FormatTimeZone(kEastern), -1},  // the long text never matches
        {table, "gmt:+300;dst:60", -1},
        {table, "GMT:300;DST:60", -1},
        {table, "GMT:+300;DST:60 ", -1},
        {table, "", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(FindTimeZoneIndex(c.table, c.text), c.index) << c.text;
}

TEST(TziBytes, AreTheFortyFourByteRegistryLayout) {
    const auto bytes = GetTziBytes(kEastern);
    const uint8_t expect[kTziSize] = {
        0x2C, 0x01, 0,  0, 0, 0, 0, 0, 0xC4, 0xFF, 0xFF, 0xFF,              // 300, 0, -60
        0,    0,    11, 0, 0, 0, 1, 0, 2,    0,    0,    0,    0, 0, 0, 0,  // November, 1st Sunday, 02:00
        0,    0,    3,  0, 0, 0, 2, 0, 2,    0,    0,    0,    0, 0, 0, 0,  // March, 2nd Sunday, 02:00
    };
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()),
              std::vector<uint8_t>(expect, expect + kTziSize));
    tagNxTimeZone back;
    SetTziBytes(back, bytes.data(), bytes.size());
    EXPECT_EQ(FormatTimeZone(back), FormatTimeZone(kEastern));
    tagNxTimeZone shortValue;
    shortValue.DaylightBias = 77;
    SetTziBytes(shortValue, bytes.data(), 8);  // a shorter value leaves the rest 0
    EXPECT_EQ(shortValue.Bias, 300);
    EXPECT_EQ(shortValue.DaylightBias, 0);
    EXPECT_EQ(shortValue.StandardDate.wMonth, 0);
}

// Each row converts from UTC to local time; rows marked `back` also convert the local time back.
// Where a local hour is skipped or repeated, the way back has rows of its own.
TEST(ZoneRules, ConvertAcrossBothTransitions) {
    enum Way { kToLocal, kBoth, kToUtc };
    const struct {
        const tagNxTimeZone* zone;
        SYSTEMTIME utc;
        SYSTEMTIME local;
        Way way;
    } cases[] = {
        // Northern: daylight time from 2009-03-08 02:00 EST to 2009-11-01 02:00 EDT.
        {&kEastern, At(2009, 3, 8, 6, 59, 59), At(2009, 3, 8, 1, 59, 59), kBoth},
        {&kEastern, At(2009, 3, 8, 7, 0, 0), At(2009, 3, 8, 3, 0, 0), kBoth},
        {&kEastern, At(2009, 3, 8, 6, 30, 0), At(2009, 3, 8, 2, 30, 0), kToUtc},  // skipped hour: daylight
        {&kEastern, At(2009, 11, 1, 5, 59, 59), At(2009, 11, 1, 1, 59, 59), kToLocal},
        {&kEastern, At(2009, 11, 1, 6, 0, 0), At(2009, 11, 1, 1, 0, 0), kToLocal},
        {&kEastern, At(2009, 11, 1, 4, 59, 59), At(2009, 11, 1, 0, 59, 59), kToUtc},
        {&kEastern, At(2009, 11, 1, 5, 30, 0), At(2009, 11, 1, 1, 30, 0), kToUtc},  // repeated: first pass
        {&kEastern, At(2009, 11, 1, 7, 0, 0), At(2009, 11, 1, 2, 0, 0), kToUtc},
        {&kEastern, At(2009, 7, 1, 12, 0), At(2009, 7, 1, 8, 0), kToLocal},
        {&kEastern, At(2010, 1, 1, 3, 0), At(2009, 12, 31, 22, 0), kToLocal},
        // Southern: daylight time until 2009-04-05 03:00 AEDT, again from 2009-10-04 02:00 AEST.
        {&kSydney, At(2009, 4, 4, 15, 59, 59), At(2009, 4, 5, 2, 59, 59), kBoth},
        {&kSydney, At(2009, 4, 4, 16, 0, 0), At(2009, 4, 5, 2, 0, 0), kToLocal},
        {&kSydney, At(2009, 4, 4, 17, 0, 0), At(2009, 4, 5, 3, 0, 0), kToUtc},
        {&kSydney, At(2009, 10, 3, 15, 59, 59), At(2009, 10, 4, 1, 59, 59), kBoth},
        {&kSydney, At(2009, 10, 3, 16, 0, 0), At(2009, 10, 4, 3, 0, 0), kBoth},
        {&kSydney, At(2009, 1, 15, 0, 0), At(2009, 1, 15, 11, 0), kToLocal},
        {&kSydney, At(2009, 7, 15, 0, 0), At(2009, 7, 15, 10, 0), kToLocal},
        {&kSydney, At(2009, 12, 31, 14, 0), At(2010, 1, 1, 1, 0), kBoth},
        // Week 5 = the last Sunday: 2009-03-29 and 2009-10-25.
        {&kCentralEurope, At(2009, 3, 29, 0, 59, 59), At(2009, 3, 29, 1, 59, 59), kToLocal},
        {&kCentralEurope, At(2009, 3, 29, 1, 0, 0), At(2009, 3, 29, 3, 0, 0), kToLocal},
        {&kCentralEurope, At(2009, 10, 25, 0, 59, 59), At(2009, 10, 25, 2, 59, 59), kToLocal},
        {&kCentralEurope, At(2009, 10, 25, 1, 0, 0), At(2009, 10, 25, 2, 0, 0), kToLocal},
        {&kCentralEurope, At(2015, 3, 29, 1, 0, 0), At(2015, 3, 29, 3, 0, 0), kToLocal},  // 5 Sundays
        // Week 5 of February: 2000-02-29 (a leap year by the 400-year rule), 2100-02-23 (none).
        {&kLeapDay, At(2000, 2, 29, 1, 59, 59), At(2000, 2, 29, 1, 59, 59), kBoth},
        {&kLeapDay, At(2000, 2, 29, 2, 0, 0), At(2000, 2, 29, 3, 0, 0), kBoth},
        {&kLeapDay, At(2100, 2, 23, 2, 0, 0), At(2100, 2, 23, 3, 0, 0), kBoth},
        // No daylight rule: the bias alone.
        {&kIndia, At(2009, 7, 1, 12, 0), At(2009, 7, 1, 17, 30), kToLocal},
        {&kIndia, At(2008, 12, 31, 23, 59, 0), At(2009, 1, 1, 5, 29, 0), kToUtc},
        // Dates with a year: that month and day, every year.
        {&kAbsolute, At(2009, 4, 1, 2, 59, 59), At(2009, 4, 1, 3, 59, 59), kToLocal},
        {&kAbsolute, At(2009, 4, 1, 3, 0, 0), At(2009, 4, 1, 5, 0, 0), kToLocal},
        {&kAbsolute, At(2012, 9, 30, 23, 0, 0), At(2012, 10, 1, 1, 0, 0), kToLocal},
        {&kAbsolute, At(2012, 10, 1, 1, 0, 0), At(2012, 10, 1, 2, 0, 0), kToLocal},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.zone->StandardName + ' ' + Text(c.utc) + " / " + Text(c.local));
        const TIME_ZONE_INFORMATION tzi = ToTimeZoneInformation(*c.zone);
        SYSTEMTIME out{};
        if (c.way != kToUtc) {
            ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(tzi, c.utc, out));
            EXPECT_EQ(Text(out), Text(c.local));
        }
        if (c.way != kToLocal) {
            ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(tzi, c.local, out));
            EXPECT_EQ(Text(out), Text(c.utc));
        }
    }
}

TEST(ZoneRules, RefuseBadFieldsAndBadRules) {
    SYSTEMTIME out = At(1111, 1, 1, 1, 1);
    const TIME_ZONE_INFORMATION eastern = ToTimeZoneInformation(kEastern);
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(eastern, At(2009, 2, 30, 0, 0), out));
    EXPECT_FALSE(TzSpecificLocalTimeToSystemTime(eastern, At(2009, 1, 1, 24, 0), out));
    TIME_ZONE_INFORMATION bad = eastern;
    bad.DaylightDate.wDay = 6;  // no sixth week
    EXPECT_FALSE(SystemTimeToTzSpecificLocalTime(bad, At(2009, 7, 1, 0, 0), out));
    EXPECT_EQ(Text(out), "1111-01-01 01:01:00") << "output untouched";
}

TEST(UtcToLocal, UsesTheRuleOrFallsBackToTheBias) {
    const SYSTEMTIME july = At(2009, 7, 1, 12, 0);
    const struct {
        TimeZoneSource source;
        CDateTime expect;
    } cases[] = {
        {Source(kCentralEurope), CDateTime(2009, 7, 1, 14, 0, 0)},
        // Without the zone-specific conversion: bias only, no daylight hour.
        {Source(kCentralEurope, false), CDateTime(2009, 7, 1, 13, 0, 0)},
        {Source(kEastern, false), CDateTime(2009, 7, 1, 7, 0, 0)},
        {Source(kSydney), CDateTime(2009, 7, 1, 22, 0, 0)},
    };
    for (const auto& c : cases) {
        CDateTime local(1.0);
        UtcToLocal(july, local, c.source);
        EXPECT_EQ(local.Format(kDateTimePattern), c.expect.Format(kDateTimePattern));
        EXPECT_EQ(local, c.expect);
    }
    // A rule the conversion refuses also ends in the fallback.
    tagNxTimeZone broken = kCentralEurope;
    broken.StandardDate.wMonth = 13;
    CDateTime local;
    UtcToLocal(july, local, Source(broken));
    EXPECT_EQ(local, CDateTime(2009, 7, 1, 13, 0, 0));
    // The fallback counts OLE days correctly before 1899-12-30.
    UtcToLocal(At(1899, 12, 30, 0, 30), local, Source(Zone(60, 0, SYSTEMTIME{}, SYSTEMTIME{}), false));
    EXPECT_EQ(local.Format(kDateTimePattern), "1899/12/29 23:30:00");
    // An unreadable zone leaves the output alone.
    CDateTime untouched(123.5);
    UtcToLocal(july, untouched, kUnreadable);
    EXPECT_EQ(untouched, CDateTime(123.5));
    UtcToLocal(july, untouched, TimeZoneSource{});
    EXPECT_EQ(untouched, CDateTime(123.5));
}

TEST(LocalToUtc, UsesTheRuleOrFallsBackToTheBias) {
    const CDateTime july(2009, 7, 1, 14, 0, 0);
    SYSTEMTIME utc{};
    LocalToUtc(july, utc, Source(kCentralEurope));
    EXPECT_EQ(Text(utc), "2009-07-01 12:00:00");
    EXPECT_EQ(utc.wDayOfWeek, 3);
    LocalToUtc(july, utc, Source(kCentralEurope, false));
    EXPECT_EQ(Text(utc), "2009-07-01 13:00:00");
    LocalToUtc(CDateTime(1899, 12, 29, 23, 30, 0), utc,
               Source(Zone(-60, 0, SYSTEMTIME{}, SYSTEMTIME{}), false));
    EXPECT_EQ(Text(utc), "1899-12-29 22:30:00");

    SYSTEMTIME untouched = At(1111, 1, 1, 1, 1);
    LocalToUtc(CDateTime(40000.0, CDateTime::invalid), untouched, Source(kCentralEurope));
    LocalToUtc(CDateTime::Null(), untouched, Source(kCentralEurope));
    LocalToUtc(july, untouched, kUnreadable);
    EXPECT_EQ(Text(untouched), "1111-01-01 01:01:00");
}

TEST(ZoneTable, ListsTheWindowsZonesInKeyOrder) {
    std::vector<tagNxTimeZone> table;
    ASSERT_TRUE(LoadTimeZones(table));
    const std::vector<std::string> keys = EnumTimeZoneKeys();
    ASSERT_EQ(keys.size(), table.size());
    ASSERT_GT(table.size(), 100u);
    const auto upper = [](std::string s) {
        for (char& ch : s) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return s;
    };
    for (std::size_t i = 1; i < keys.size(); ++i) EXPECT_LT(upper(keys[i - 1]), upper(keys[i]));
    const struct {
        const char* key;
        const char* display;
        const char* standard;
        const char* daylight;
        const char* text;
    } known[] = {
        {"Eastern Standard Time", "(UTC-05:00) Eastern Time (New York)", "Eastern Standard Time",
         "Eastern Daylight Time", "GMT:+300;DST:60;STD:0000110102000000;DLT:0000030202000000"},
        {"India Standard Time", "(UTC+05:30) India Standard Time (Kolkata)", "India Standard Time",
         "India Daylight Time", "GMT:-330;DST:0;STD:0000000000000000;DLT:0000000000000000"},
        {"AUS Eastern Standard Time", "(UTC+10:00) Eastern Australia Time (Sydney)",
         "AUS Eastern Standard Time", "AUS Eastern Daylight Time",
         "GMT:-600;DST:60;STD:0000040103000000;DLT:0000100102000000"},
        {"UTC", "(UTC) Coordinated Universal Time", "Coordinated Universal Time",
         "Coordinated Universal Time", "GMT:+0;DST:0;STD:0000000000000000;DLT:0000000000000000"},
        {"GMT Standard Time", "(UTC+00:00) Greenwich Mean Time (London)", "GMT Standard Time",
         "GMT Daylight Time", "GMT:+0;DST:60;STD:0000100502000000;DLT:0000030501000000"},
    };
    for (const auto& k : known) {
        tagNxTimeZone zone;
        ASSERT_TRUE(ReadTimeZone(k.key, zone)) << k.key;
        EXPECT_EQ(zone.DisplayName, k.display);
        EXPECT_EQ(zone.StandardName, k.standard);
        EXPECT_EQ(zone.DaylightName, k.daylight);
        EXPECT_EQ(FormatTimeZone(zone), k.text) << k.key;
    }
    tagNxTimeZone none = kEastern;
    EXPECT_FALSE(ReadTimeZone("No Such Standard Time", none));
    EXPECT_EQ(none, tagNxTimeZone{});

    // A second load leaves a filled table alone; the first of equal keys is the one found.
    std::vector<tagNxTimeZone> again = {kIndia};
    EXPECT_TRUE(LoadTimeZones(again));
    EXPECT_EQ(again.size(), 1u);
    const int32_t index = FindTimeZoneIndex(table, "GMT:+300;DST:60");
    ASSERT_GE(index, 0);
    for (int32_t i = 0; i < index; ++i) EXPECT_NE(FormatTimeZoneKey(table[i]), "GMT:+300;DST:60");
    EXPECT_EQ(keys[static_cast<std::size_t>(index)], "Cuba Standard Time")
        << "registry order, not the best-known zone";
}

TEST(MachineZone, ComesFromTzAndMatchesTheRegistryTable) {
    const struct {
        const char* tz;
        uint32_t period;  // on 2009-07-01
        int32_t bias;
        const char* standardName;
        const char* display;  // null: no registry zone matches
    } cases[] = {
        {"America/New_York", TIME_ZONE_ID_DAYLIGHT, 300, "Eastern Standard Time",
         "(UTC-05:00) Eastern Time (New York)"},
        {":Australia/Sydney", TIME_ZONE_ID_STANDARD, -600, "AUS Eastern Standard Time",
         "(UTC+10:00) Eastern Australia Time (Sydney)"},
        {"/usr/share/zoneinfo/Asia/Kolkata", TIME_ZONE_ID_UNKNOWN, -330, "India Standard Time",
         "(UTC+05:30) India Standard Time (Kolkata)"},
        {"Asia/Calcutta", TIME_ZONE_ID_UNKNOWN, -330, "India Standard Time",
         "(UTC+05:30) India Standard Time (Kolkata)"},
        {"UTC", TIME_ZONE_ID_UNKNOWN, 0, "Coordinated Universal Time", "(UTC) Coordinated Universal Time"},
        {"CET-1CEST,M3.5.0,M10.5.0/3", TIME_ZONE_ID_DAYLIGHT, -60, "CET", nullptr},
        {"JST-9", TIME_ZONE_ID_UNKNOWN, -540, "JST", nullptr},
        {"GMT+5", TIME_ZONE_ID_UNKNOWN, 300, "GMT", nullptr},  // POSIX: five hours west
        {"<+0530>-5:30", TIME_ZONE_ID_UNKNOWN, -330, "+0530", nullptr},
        {"Not/AZone", TIME_ZONE_ID_INVALID, 0, "", nullptr},
        {"EST5EDT,M3.2.0,M11.1.0,junk", TIME_ZONE_ID_INVALID, 0, "", nullptr},
    };
    for (const auto& c : cases) {
        TIME_ZONE_INFORMATION tzi{};
        EXPECT_EQ(GetTimeZoneInformationForZone(c.tz, Utc(2009, 7, 1), tzi), c.period) << c.tz;
        PinnedTz pin(c.tz);
        const uint32_t period = GetTimeZoneInformation(tzi);
        if (c.period == TIME_ZONE_ID_INVALID) {
            EXPECT_EQ(period, TIME_ZONE_ID_INVALID) << c.tz;
            continue;
        }
        EXPECT_NE(period, TIME_ZONE_ID_INVALID) << c.tz;
        const tagNxTimeZone zone = FromTimeZoneInformation(tzi);
        EXPECT_EQ(zone.Bias, c.bias) << c.tz;
        EXPECT_EQ(zone.StandardName, c.standardName) << c.tz;
        std::string display = "unchanged";
        EXPECT_EQ(GetTimeZoneDisplayName(tzi, display), c.display != nullptr) << c.tz;
        if (c.display != nullptr) {
            EXPECT_EQ(display, c.display) << c.tz;
        }
    }
}

TEST(MachineZone, PosixRulesBecomeWindowsRules) {
    TIME_ZONE_INFORMATION tzi{};
    ASSERT_NE(GetTimeZoneInformationForZone("CET-1CEST,M3.5.0,M10.5.0/3", Utc(2009, 1, 1), tzi),
              TIME_ZONE_ID_INVALID);
    EXPECT_EQ(FormatTimeZone(FromTimeZoneInformation(tzi)),
              "GMT:-60;DST:60;STD:0000100503000000;DLT:0000030502000000");
    ASSERT_NE(GetTimeZoneInformationForZone("AEST-10AEDT,M10.1.0,M4.1.0/3", Utc(2009, 1, 1), tzi),
              TIME_ZONE_ID_INVALID);
    EXPECT_EQ(FormatTimeZone(FromTimeZoneInformation(tzi)), FormatTimeZone(kSydney));
    EXPECT_EQ(FromTimeZoneInformation(tzi).DaylightName, "AEDT");
}

TEST(MachineZone, DrivesTheDefaultConversions) {
    const struct {
        const char* tz;
        SYSTEMTIME utc;
        const char* local;
        bool repeatedHour;  // the way back gives the first pass of that hour
    } cases[] = {
        {"America/New_York", At(2009, 3, 8, 6, 59, 59), "2009/03/08 01:59:59", false},
        {"America/New_York", At(2009, 3, 8, 7, 0, 0), "2009/03/08 03:00:00", false},
        {"America/New_York", At(2009, 11, 1, 5, 0, 0), "2009/11/01 01:00:00", false},
        {"America/New_York", At(2009, 11, 1, 6, 0, 0), "2009/11/01 01:00:00", true},
        {"Australia/Sydney", At(2009, 4, 4, 16, 0, 0), "2009/04/05 02:00:00", true},
        {"Australia/Sydney", At(2009, 10, 3, 16, 0, 0), "2009/10/04 03:00:00", false},
        {"Asia/Kolkata", At(2009, 7, 1, 12, 0, 0), "2009/07/01 17:30:00", false},
        {"", At(2009, 7, 1, 12, 0, 0), "2009/07/01 12:00:00", false},  // empty TZ: UTC
    };
    for (const auto& c : cases) {
        PinnedTz pin(c.tz);
        CDateTime local;
        UtcToLocal(c.utc, local);
        EXPECT_EQ(local.Format(kDateTimePattern), c.local) << c.tz << ' ' << Text(c.utc);
        SYSTEMTIME back{};
        LocalToUtc(local, back);
        SYSTEMTIME expect = c.utc;
        if (c.repeatedHour) expect.wHour = static_cast<uint16_t>(expect.wHour - 1);
        EXPECT_EQ(Text(back), Text(expect)) << c.tz;
    }
}
