// The meaning of a stored pattern checked against an independent engine: an expander of a
// pattern's occurrences, as the published structure defines them, must list the same days as
// libical's expansion of the equivalent RRULE, for series generated over every pattern kind,
// interval, month-end and leap-year start. The pattern goes through its bytes (built, written,
// read back) before it is expanded, so the check covers both directions of the store's format.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "tests/calendar/RecurrenceExpander.h"

using namespace nx::test;
using NAMESPACE_COMMON::CDateTime;

namespace {

const char* const kDays[] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

std::string ByDay(uint32_t mask) {
    std::string out;
    for (int i = 0; i < 7; ++i)
        if (mask & (1u << i)) out += (out.empty() ? "" : ",") + std::string(kDays[i]);
    return out;
}

// A day of the month as RRULE says "that day, or the month's last when it is shorter".
std::string ByMonthDay(unsigned day) {
    if (day <= 28) return "BYMONTHDAY=" + std::to_string(day);
    std::string list;
    for (unsigned d = 28; d <= day; ++d) list += (list.empty() ? "" : ",") + std::to_string(d);
    return "BYMONTHDAY=" + list + ";BYSETPOS=-1";
}

struct Generated {
    CCalendarEx record;
    std::string rule;
    Civil start{};
    std::string name;
};

// One series of a kind (0 daily, 1 every weekday, 2 weekly, 3 monthly on a day, 4 monthly n-th,
// 5 yearly on a day, 6 yearly n-th) with a random interval, start and end.
void Generate(std::mt19937& rng, int kind, Generated& g) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    CCalendarEx& r = g.record;
    int y = pick(1990, 2040);
    unsigned m = static_cast<unsigned>(pick(1, 12));
    unsigned d = static_cast<unsigned>(pick(1, static_cast<int>(DaysIn(y, m))));
    const int interval = pick(1, kind <= 2 ? 5 : (kind <= 4 ? 6 : 3));
    std::ostringstream rule;
    switch (kind) {
        case 0:
            r.lRecurType = 1;
            rule << "FREQ=DAILY;INTERVAL=" << interval;
            break;
        case 1: {
            int64_t day = DaysFromCivil(y, m, d);
            while (DayOfWeekOf(day) == 0 || DayOfWeekOf(day) == 6) ++day;
            const Civil c = CivilFromDays(day);
            y = c.y, m = c.m, d = c.d;
            r.lRecurType = 2;
            r.lRecurWeekMask = 62;
            rule << "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR";
            break;
        }
        case 2: {
            const uint32_t mask =
                static_cast<uint32_t>(pick(1, 127)) | (1u << DayOfWeekOf(DaysFromCivil(y, m, d)));
            r.lRecurType = 2;
            r.lRecurWeekMask = static_cast<int32_t>(mask);
            rule << "FREQ=WEEKLY;WKST=SU;INTERVAL=" << interval << ";BYDAY=" << ByDay(mask);
            break;
        }
        case 3:
        case 5: {
            // Month ends and 29 February get their share of starts.
            if (pick(0, 2) == 0) {
                if (kind == 5 && pick(0, 1) == 0) {
                    y = 4 * pick(498, 510), m = 2, d = 29;
                } else {
                    d = DaysIn(y, m);
                }
            }
            r.lRecurType = kind == 3 ? 3 : 4;
            r.lRecurDay = static_cast<int32_t>(d);
            if (kind == 3)
                rule << "FREQ=MONTHLY;INTERVAL=" << interval << ";" << ByMonthDay(d);
            else
                rule << "FREQ=YEARLY;INTERVAL=" << interval << ";BYMONTH=" << m << ";" << ByMonthDay(d);
            break;
        }
        case 4:
        case 6: {
            const uint32_t mask = pick(0, 3) == 0 ? static_cast<uint32_t>(pick(1, 127)) : 1u << pick(0, 6);
            const uint32_t n = static_cast<uint32_t>(pick(1, 5));
            const int64_t first = DaysFromCivil(y, m, 1);
            for (int64_t day = first; day < first + DaysIn(y, m); ++day)
                if (IsNthOfMask(day, mask, n)) d = CivilFromDays(day).d;
            r.lRecurType = kind == 4 ? 3 : 4;
            r.lRecurInstance = 1;
            r.lRecurWeekMask = static_cast<int32_t>(mask);
            r.lRecurWeekDay = n == 5 ? -1 : static_cast<int32_t>(n);
            rule << (kind == 4 ? "FREQ=MONTHLY" : "FREQ=YEARLY") << ";INTERVAL=" << interval;
            if (kind == 6) rule << ";BYMONTH=" << m;
            rule << ";BYDAY=" << ByDay(mask) << ";BYSETPOS=" << (n == 5 ? -1 : static_cast<int>(n));
            break;
        }
    }
    r.lRecurInterval = kind == 1 ? 0 : interval;
    r.dtStartTime = CDateTime(y, static_cast<int>(m), static_cast<int>(d), 9, 0, 0);
    r.dtEndTime = CDateTime(y, static_cast<int>(m), static_cast<int>(d), 10, 0, 0);
    switch (pick(0, 2)) {
        case 0:
            break;  // no end: the first occurrences are compared
        case 1: {
            const int count = pick(1, 25);
            r.lRecurRepeat = count;
            rule << ";COUNT=" << count;
            break;
        }
        case 2: {
            const Civil until = CivilFromDays(DaysFromCivil(y, m, d) + pick(0, kind >= 5 ? 3000 : 400));
            r.bRecurHasEndDate = 1;
            r.dtRecurEndDate =
                CDateTime(until.y, static_cast<int>(until.m), static_cast<int>(until.d), 0, 0, 0);
            char text[32];
            std::snprintf(text, sizeof text, ";UNTIL=%04d%02u%02uT235959", until.y, until.m, until.d);
            rule << text;
            break;
        }
    }
    g.rule = rule.str();
    g.start = {y, m, d};
    g.name = g.rule + " from " + r.dtStartTime.Format("%Y-%m-%d");
}

}  // namespace

TEST(RecurrenceSemantics, StoredPatternsMeanWhatTheEquivalentRruleMeans) {
    std::mt19937 rng(20090302);
    constexpr std::size_t kLimit = 30;
    int compared = 0;
    for (int i = 0; i < 280; ++i) {
        Generated g;
        Generate(rng, i % 7, g);
        tagRecurrencePattern built;
        BuildRecurrencePattern(built, g.record);
        std::vector<uint8_t> bytes;
        ASSERT_EQ(SerializeRecurrencePattern(built, &bytes), 1);
        tagRecurrencePattern stored;
        ASSERT_EQ(ParseRecurrencePattern(bytes.data(), bytes.size(), stored), bytes.size());
        const std::vector<int64_t> ours = Expand(stored, kLimit);
        const std::vector<int64_t> theirs = ExpandWithLibical(g.rule, g.start, kLimit);
        ASSERT_FALSE(theirs.empty()) << g.name;
        EXPECT_EQ(ours, theirs) << g.name;
        // A reader that anchors on FirstDateTime and ends on EndDate places the same days.
        EXPECT_EQ(Expand(stored, kLimit, Reader::kFirstDateTime), theirs) << g.name;
        // Each end rule's other field: the number of occurrences up to the end date, the day of
        // the last occurrence of a counted series.
        if (stored.EndType == kEndAfterDate) {
            EXPECT_EQ(stored.OccurrenceCount, ExpandWithLibical(g.rule, g.start, 100000).size()) << g.name;
        } else if (stored.EndType == kEndAfterOccurrences) {
            EXPECT_EQ(int64_t{stored.EndDate / 1440}, theirs.back()) << g.name;
        }
        ++compared;
    }
    EXPECT_GE(compared, 200);
}
