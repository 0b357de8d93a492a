#include "common/DateTime.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using namespace NAMESPACE_COMMON;

namespace {
std::string Fields(const SYSTEMTIME& st) {
    char b[64];
    std::snprintf(b, sizeof b, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow%u", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
    return b;
}
FILETIME Ticks(uint64_t t) {
    return FILETIME{static_cast<uint32_t>(t & 0xFFFFFFFFu), static_cast<uint32_t>(t >> 32)};
}
uint64_t Ticks(const FILETIME& ft) {
    return (uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
}
}  // namespace

// Known OLE values, including the backwards-day / forwards-fraction values before 1899-12-30.
TEST(CDateTime, CalendarFieldsMapToOleValues) {
    const struct {
        int y, mo, d, h, mi, s;
        double value;
        int dayOfWeek;
    } cases[] = {
        {1899, 12, 30, 0, 0, 0, 0.0, 6},
        {1899, 12, 31, 0, 0, 0, 1.0, 0},
        {1899, 12, 30, 12, 0, 0, 0.5, 6},
        {1900, 1, 1, 0, 0, 0, 2.0, 1},
        {2000, 1, 1, 18, 0, 0, 36526.75, 6},
        {2009, 5, 12, 0, 0, 0, 39945.0, 2},
        {1899, 12, 29, 6, 0, 0, -1.25, 5},  // day -1, then 6 hours forwards
        {1899, 12, 29, 0, 0, 0, -1.0, 5},
        {1899, 12, 28, 18, 0, 0, -2.75, 4},
        {1800, 1, 1, 0, 0, 0, -36522.0, 3},
        {100, 1, 1, 0, 0, 0, -657434.0, 5},
        {100, 1, 1, 12, 0, 0, -657434.5, 5},  // the first day's later hours lie below -657434
        {100, 1, 1, 23, 59, 59, -657434.0 - 86399.0 / 86400, 5},
        {9999, 12, 31, 0, 0, 0, 2958465.0, 5},
    };
    for (const auto& c : cases) {
        CDateTime dt(c.y, c.mo, c.d, c.h, c.mi, c.s);
        ASSERT_TRUE(dt.IsValid()) << c.y << '-' << c.mo << '-' << c.d;
        EXPECT_DOUBLE_EQ(dt.GetValue(), c.value) << c.y << '-' << c.mo << '-' << c.d;
        SYSTEMTIME st{};
        ASSERT_TRUE(CDateTime(c.value).GetAsSystemTime(st));
        const auto w = [](int v) { return static_cast<WORD>(v); };
        const SYSTEMTIME want{w(c.y), w(c.mo), w(c.dayOfWeek), w(c.d), w(c.h), w(c.mi), w(c.s), 0};
        EXPECT_EQ(Fields(st), Fields(want));
    }
}

TEST(CDateTime, FieldsThatDoNotRoundTripAreInvalid) {
    const struct {
        int y, mo, d, h, mi, s;
        bool valid;
    } cases[] = {
        {2009, 2, 28, 23, 59, 59, true}, {2009, 2, 29, 0, 0, 0, false}, {2000, 2, 29, 0, 0, 0, true},
        {1900, 2, 29, 0, 0, 0, false},   {2009, 4, 31, 0, 0, 0, false}, {2009, 13, 1, 0, 0, 0, false},
        {2009, 0, 1, 0, 0, 0, false},    {2009, 1, 0, 0, 0, 0, false},  {2009, 1, 1, 24, 0, 0, false},
        {2009, 1, 1, 0, 60, 0, false},   {2009, 1, 1, 0, 0, 60, false}, {99, 12, 31, 0, 0, 0, false},
        {10000, 1, 1, 0, 0, 0, false},   {-1, 1, 1, 0, 0, 0, false},    {2009, 1, 1, -1, 0, 0, false},
    };
    for (const auto& c : cases) {
        CDateTime dt;
        EXPECT_EQ(dt.SetDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s), c.valid)
            << c.y << '-' << c.mo << '-' << c.d;
        EXPECT_EQ(dt.GetStatus(), c.valid ? CDateTime::valid : CDateTime::invalid);
    }
}

TEST(CDateTime, FractionsRoundToTheNearestSecond) {
    const struct {
        double value;
        const char* text;
    } cases[] = {
        {0.5 + 0.4 / 86400, "1899/12/30 12:00:00"},
        {0.5 + 0.6 / 86400, "1899/12/30 12:00:01"},
        {1.0 - 0.2 / 86400, "1899/12/31 00:00:00"},  // rounds into the next day
        {-1.0 - 0.2 / 86400, "1899/12/29 00:00:00"},
        {-1.0 - (86400 - 0.2) / 86400, "1899/12/30 00:00:00"},  // fraction ~1 on day -1
    };
    for (const auto& c : cases) EXPECT_EQ(CDateTime(c.value).Format(kDateTimePattern), c.text) << c.value;
}

TEST(CDateTime, FormatsTheThreePatternsAndTheSpecialTexts) {
    const CDateTime dt(2009, 3, 7, 14, 5, 0);
    EXPECT_EQ(dt.Format(kDateTimePattern), "2009/03/07 14:05:00");
    EXPECT_EQ(dt.Format(kSlashDatePattern), "2009/03/07");
    EXPECT_EQ(dt.Format(kDashDatePattern), "2009-03-07");
    EXPECT_EQ(CDateTime(-1.25).Format(kDateTimePattern), "1899/12/29 06:00:00");
    EXPECT_EQ(CDateTime(1800, 1, 1, 6, 30, 0).Format(kDashDatePattern), "1800-01-01");

    EXPECT_EQ(CDateTime::Null().Format(kDateTimePattern), "");
    EXPECT_EQ(CDateTime(40000.0, CDateTime::invalid).Format(kDateTimePattern), "Invalid DateTime");
    for (double bad : {-657435.0, 2958466.0, std::nan(""), std::numeric_limits<double>::infinity()}) {
        EXPECT_EQ(CDateTime(bad).Format(kDateTimePattern), "Invalid DateTime") << bad;
        SYSTEMTIME st{};
        EXPECT_FALSE(CDateTime(bad).GetAsSystemTime(st));
    }
    // Patterns longer than the 256-character result give an empty text, never a cut one.
    EXPECT_EQ(dt.Format(std::string(300, 'x')), "");
}

TEST(CDateTime, ArithmeticMovesThroughTheEpochTheRightWay) {
    const struct {
        double from;
        double days;
        double expect;
    } cases[] = {
        {-1.25, 1.0, 0.25},                      // 1899-12-29 06:00 + 1 day = 1899-12-30 06:00
        {0.25, -1.0, -1.25}, {-1.0, 0.5, -1.5},  // 1899-12-29 00:00 + 12 h = 1899-12-29 12:00
        {0.25, -0.5, -1.75},                     // 1899-12-30 06:00 - 12 h = 1899-12-29 18:00
        {-2.75, 0.25, -1.0}, {39995.5, 1.0 / 24, 39995.5 + 1.0 / 24},
    };
    for (const auto& c : cases) {
        const CDateTime r = CDateTime(c.from).AddDays(c.days);
        EXPECT_TRUE(r.IsValid());
        EXPECT_NEAR(r.GetValue(), c.expect, 1e-9) << c.from << " + " << c.days;
    }
    EXPECT_EQ(CDateTime(2009, 7, 1, 12, 0, 0).AddMinutes(60), CDateTime(2009, 7, 1, 13, 0, 0));
    EXPECT_EQ(CDateTime(1899, 12, 30, 0, 30, 0).AddMinutes(-60), CDateTime(1899, 12, 29, 23, 30, 0));
    EXPECT_FALSE(CDateTime(9999, 12, 31, 23, 0, 0).AddMinutes(120).IsValid());
    EXPECT_EQ(CDateTime::Null().AddDays(1).GetStatus(), CDateTime::null);
}

TEST(FileTime, ConvertsToAndFromCalendarFields) {
    const uint64_t unixEpoch = 116444736000000000ULL;
    const struct {
        uint64_t ticks;
        const char* fields;
    } cases[] = {
        {0, "1601-01-01 00:00:00.000 dow1"},
        {unixEpoch, "1970-01-01 00:00:00.000 dow4"},
        {unixEpoch + 1242131445ULL * 10000000ULL + 1230000ULL, "2009-05-12 12:30:45.123 dow2"},
        // The leap days of the 400-year rule: 2000 and 2400 have one, 1900 and 2100 (below) none.
        {unixEpoch + 951825600ULL * 10000000ULL, "2000-02-29 12:00:00.000 dow2"},
        {unixEpoch + 951868800ULL * 10000000ULL, "2000-03-01 00:00:00.000 dow3"},
        {unixEpoch + 13574563200ULL * 10000000ULL, "2400-02-29 00:00:00.000 dow2"},
        {0x7FFFFFFFFFFFFFFFULL, "30828-09-14 02:48:05.477 dow4"},
    };
    for (const auto& c : cases) {
        SYSTEMTIME st{};
        ASSERT_TRUE(FileTimeToSystemTime(Ticks(c.ticks), st)) << c.fields;
        EXPECT_EQ(Fields(st), c.fields);
        FILETIME back{};
        if (st.wYear <= 30827) {
            ASSERT_TRUE(SystemTimeToFileTime(st, back));
            EXPECT_EQ(Ticks(back), c.ticks / 10000 * 10000);
        }
    }
    SYSTEMTIME untouched{};
    untouched.wYear = 7;
    EXPECT_FALSE(FileTimeToSystemTime(Ticks(0x8000000000000000ULL), untouched));
    EXPECT_EQ(untouched.wYear, 7);
    FILETIME ft{};
    EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{1600, 12, 0, 31, 0, 0, 0, 0}, ft));
    for (WORD year : {2009, 1900, 2100})
        EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{year, 2, 0, 29, 0, 0, 0, 0}, ft));
    EXPECT_FALSE(SystemTimeToFileTime(SYSTEMTIME{2009, 1, 0, 1, 0, 0, 0, 1000}, ft));

    // A date value takes a file time's seconds and drops its milliseconds.
    const CDateTime dt(Ticks(unixEpoch + 1242131445ULL * 10000000ULL + 1230000ULL));
    EXPECT_EQ(dt, CDateTime(2009, 5, 12, 12, 30, 45));
    FILETIME out{};
    ASSERT_TRUE(dt.GetAsFileTime(out));
    EXPECT_EQ(Ticks(out), unixEpoch + 1242131445ULL * 10000000ULL);
    EXPECT_EQ(CDateTime(Ticks(0)), CDateTime(1601, 1, 1, 0, 0, 0));
}

// Every form the agent writes, the common numeric forms, and the two failure values.
TEST(CDateTime, ParseDateTimeAcceptsTheDocumentedForms) {
    const struct {
        const char* text;
        const char* expect;  // formatted with kDateTimePattern; null = failure
        double failureValue;
    } cases[] = {
        {"2009/03/07 14:05:00", "2009/03/07 14:05:00", 0},
        {"2009/03/07", "2009/03/07 00:00:00", 0},
        {"2009-03-07", "2009/03/07 00:00:00", 0},
        {"2009.3.7", "2009/03/07 00:00:00", 0},
        {"  2009-03-07 14:05  ", "2009/03/07 14:05:00", 0},
        {"2009-03-07T14:05:09", "2009/03/07 14:05:09", 0},
        {"2009-03-07 14:05:09.5", "2009/03/07 14:05:10", 0},
        {"2009-03-07 23:59:59.7", "2009/03/08 00:00:00", 0},
        {"3/7/2009", "2009/03/07 00:00:00", 0},
        {"03/07/2009 2:05 PM", "2009/03/07 14:05:00", 0},
        {"3-7-09 12:00 am", "2009/03/07 00:00:00", 0},
        {"3/7/29", "2029/03/07 00:00:00", 0},
        {"3/7/30", "1930/03/07 00:00:00", 0},
        {"12:30", "1899/12/30 12:30:00", 0},
        {"12:30:45 PM", "1899/12/30 12:30:45", 0},
        {"1800/01/01 06:00:00", "1800/01/01 06:00:00", 0},
        {"0100-01-01", "0100/01/01 00:00:00", 0},
        {"2000/02/29 23:59:59", "2000/02/29 23:59:59", 0},  // the 400-year leap day
        {"2/29/2000", "2000/02/29 00:00:00", 0},
        // Not a date at all: type mismatch, 0.0.
        {"", nullptr, 0.0},
        {"   ", nullptr, 0.0},
        {"NULL", nullptr, 0.0},
        {"Invalid DateTime", nullptr, 0.0},
        {"May 12, 2009", nullptr, 0.0},
        {"2009", nullptr, 0.0},
        {"2009/03", nullptr, 0.0},
        {"2009/03/07 14", nullptr, 0.0},
        {"2009/03-07", nullptr, 0.0},
        {"2009/03/07 14:05 xyz", nullptr, 0.0},
        {"2009/03/07Z", nullptr, 0.0},
        {"3.7.2009", nullptr, 0.0},
        {"3/7/009", nullptr, 0.0},
        {"2009/003/07", nullptr, 0.0},
        {"12:30:", nullptr, 0.0},
        {"-2009/01/01", nullptr, 0.0},
        // Shaped like a date but naming none: -1.0.
        {"2009/13/01", nullptr, -1.0},
        {"2009/02/29", nullptr, -1.0},
        {"1900/02/29", nullptr, -1.0},
        {"2/29/2100", nullptr, -1.0},
        {"2009/00/10", nullptr, -1.0},
        {"2009/01/32", nullptr, -1.0},
        {"0099/12/31", nullptr, -1.0},
        {"10000/01/01", nullptr, -1.0},
        {"2009/01/01 24:00", nullptr, -1.0},
        {"2009/01/01 12:60", nullptr, -1.0},
        {"2009/01/01 12:00:60", nullptr, -1.0},
        {"13:00 PM", nullptr, -1.0},
        {"0:30 AM", nullptr, -1.0},
        {"9999/12/31 23:59:59.9", nullptr, -1.0},
    };
    for (const auto& c : cases) {
        CDateTime dt(12345.0);
        const bool ok = dt.ParseDateTime(c.text);
        if (c.expect != nullptr) {
            EXPECT_TRUE(ok) << '"' << c.text << '"';
            EXPECT_EQ(dt.Format(kDateTimePattern), c.expect) << '"' << c.text << '"';
        } else {
            EXPECT_FALSE(ok) << '"' << c.text << '"';
            EXPECT_EQ(dt.GetStatus(), CDateTime::invalid) << '"' << c.text << '"';
            EXPECT_EQ(dt.GetValue(), c.failureValue) << '"' << c.text << '"';
        }
    }
}

TEST(CDateTime, ParseReadsBackEveryWrittenText) {
    for (double value : {0.0, 1.5, -1.25, -36522.75, 39945.5208333333, 2958465.0, -657434.0}) {
        const CDateTime dt(value);
        for (const char* pattern : {kDateTimePattern, kSlashDatePattern, kDashDatePattern}) {
            CDateTime back;
            ASSERT_TRUE(back.ParseDateTime(dt.Format(pattern))) << dt.Format(pattern);
            EXPECT_EQ(back.Format(pattern), dt.Format(pattern));
        }
    }
}
