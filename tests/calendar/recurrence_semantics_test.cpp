// The meaning of a stored pattern checked against an independent engine: an expander of a
// pattern's occurrences, as the published structure defines them, must list the same days as
// libical's expansion of the equivalent RRULE, for series generated over every pattern kind,
// interval, month-end and leap-year start. The pattern goes through its bytes (built, written,
// read back) before it is expanded, so the check covers both directions of the store's format.
#include <gtest/gtest.h>
#include <libical/ical.h>

#include <chrono>
#include <random>
#include <sstream>

#include "calendar/RecurrencePattern.h"

using namespace NAMESPACE_MAPI;
using NAMESPACE_COMMON::CDateTime;

namespace {

// Civil dates <-> days since 1601-01-01 (134774 days before 1970-01-01), independent of the code
// under test: the standard library's civil calendar.
namespace chr = std::chrono;
constexpr int64_t k1601 = 134774;
struct Civil {
    int y;
    unsigned m, d;
};
int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    return chr::sys_days{chr::year{y} / chr::month{m} / chr::day{d}}.time_since_epoch().count() + k1601;
}
Civil CivilFromDays(int64_t z) {
    const chr::year_month_day c{chr::sys_days{chr::days{z - k1601}}};
    return {static_cast<int>(c.year()), static_cast<unsigned>(c.month()), static_cast<unsigned>(c.day())};
}
int DayOfWeekOf(int64_t days) {
    return static_cast<int>(chr::weekday{chr::sys_days{chr::days{days - k1601}}}.c_encoding());
}
unsigned DaysIn(int y, unsigned m) {
    return static_cast<unsigned>((chr::year{y} / chr::month{m} / chr::last).day());
}

// Whether a day is the n-th (5 = last) of the month's days whose weekday is in the mask.
bool IsNthOfMask(int64_t day, uint32_t mask, uint32_t n) {
    const Civil c = CivilFromDays(day);
    const int64_t first = DaysFromCivil(c.y, c.m, 1);
    std::vector<int64_t> hits;
    for (unsigned i = 0; i < DaysIn(c.y, c.m); ++i)
        if (mask & (1u << DayOfWeekOf(first + i))) hits.push_back(first + i);
    if (hits.empty()) return false;
    const std::size_t at = n >= 5 ? hits.size() - 1 : n - 1;
    return at < hits.size() && hits[at] == day;
}

// The occurrence days of a pattern: cycles of daily and weekly series anchored by FirstDateTime,
// of monthly and yearly series by the month of StartDate (see docs/calendar.md); a day of the
// month past the month's end falls on its last day.
std::vector<int64_t> Expand(const tagRecurrencePattern& p, std::size_t limit) {
    std::vector<int64_t> out;
    const int64_t start = p.StartDate / 1440;
    const int64_t endDay = p.EndType == kEndAfterDate ? p.EndDate / 1440 : INT64_MAX;
    const std::size_t count = p.EndType == kEndAfterOccurrences ? p.OccurrenceCount : limit;
    const Civil s = CivilFromDays(start);
    for (int64_t day = start; out.size() < std::min(count, limit) && day <= endDay && day < start + 400 * 366;
         ++day) {
        const Civil c = CivilFromDays(day);
        const int dow = DayOfWeekOf(day);
        bool hit = false;
        switch (p.RecurFrequency) {
            case kRecurFrequencyDaily:
                hit = p.PatternType == kPatternDay
                          ? p.Period != 0 &&
                                (static_cast<uint64_t>(day) * 1440 - p.FirstDateTime) % p.Period == 0
                          : (p.DayOfWeek & (1u << dow)) != 0;
                break;
            case kRecurFrequencyWeekly: {
                const int64_t sunday = day - dow;
                hit = (p.DayOfWeek & (1u << dow)) != 0 &&
                      ((sunday * 1440 - p.FirstDateTime) / 10080) % p.Period == 0;
                break;
            }
            case kRecurFrequencyMonthly:
            case kRecurFrequencyYearly: {
                const int64_t months = (c.y - s.y) * 12 + (static_cast<int>(c.m) - static_cast<int>(s.m));
                if (months % p.Period != 0) break;
                hit = p.PatternType == kPatternMonth ? c.d == std::min(p.Day, DaysIn(c.y, c.m))
                                                     : IsNthOfMask(day, p.DayOfWeek, p.N);
                break;
            }
            default:
                break;
        }
        if (hit) out.push_back(day);
    }
    return out;
}

std::vector<int64_t> ExpandWithLibical(const std::string& rule, const Civil& start, std::size_t limit) {
    std::vector<int64_t> out;
    const icalrecurrencetype recur = icalrecurrencetype_from_string(rule.c_str());
    EXPECT_NE(recur.freq, ICAL_NO_RECURRENCE) << rule;
    icaltimetype dtstart = icaltime_null_time();
    dtstart.year = start.y;
    dtstart.month = static_cast<int>(start.m);
    dtstart.day = static_cast<int>(start.d);
    dtstart.hour = 9;
    dtstart.is_date = 0;
    icalrecur_iterator* it = icalrecur_iterator_new(recur, dtstart);
    EXPECT_NE(it, nullptr) << rule;
    if (!it) return out;
    for (icaltimetype t = icalrecur_iterator_next(it); !icaltime_is_null_time(t) && out.size() < limit;
         t = icalrecur_iterator_next(it))
        out.push_back(DaysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)));
    icalrecur_iterator_free(it);
    return out;
}

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
        ++compared;
    }
    EXPECT_GE(compared, 200);
}
