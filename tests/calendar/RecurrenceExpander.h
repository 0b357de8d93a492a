// An expander of a stored recurrence pattern's occurrence days, written from the published
// structure and independent of the code under test, and libical's expansion of an RRULE: the two
// engines the semantic checks of written patterns compare. Days count from 1601-01-01.
#pragma once

#include <gtest/gtest.h>
#include <libical/ical.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "calendar/RecurrencePattern.h"

namespace nx::test {

using namespace NAMESPACE_MAPI;

// Civil dates <-> days since 1601-01-01 (134774 days before 1970-01-01), independent of the code
// under test: the standard library's civil calendar.
namespace chr = std::chrono;
inline constexpr int64_t k1601 = 134774;
struct Civil {
    int y;
    unsigned m, d;
};
inline int64_t DaysFromCivil(int y, unsigned m, unsigned d) {
    return chr::sys_days{chr::year{y} / chr::month{m} / chr::day{d}}.time_since_epoch().count() + k1601;
}
inline Civil CivilFromDays(int64_t z) {
    const chr::year_month_day c{chr::sys_days{chr::days{z - k1601}}};
    return {static_cast<int>(c.year()), static_cast<unsigned>(c.month()), static_cast<unsigned>(c.day())};
}
inline int DayOfWeekOf(int64_t days) {
    return static_cast<int>(chr::weekday{chr::sys_days{chr::days{days - k1601}}}.c_encoding());
}
inline unsigned DaysIn(int y, unsigned m) {
    return static_cast<unsigned>((chr::year{y} / chr::month{m} / chr::last).day());
}

// Whether a day is the n-th (5 = last) of the month's days whose weekday is in the mask.
inline bool IsNthOfMask(int64_t day, uint32_t mask, uint32_t n) {
    const Civil c = CivilFromDays(day);
    const int64_t first = DaysFromCivil(c.y, c.m, 1);
    std::vector<int64_t> hits;
    for (unsigned i = 0; i < DaysIn(c.y, c.m); ++i)
        if (mask & (1u << DayOfWeekOf(first + i))) hits.push_back(first + i);
    if (hits.empty()) return false;
    const std::size_t at = n >= 5 ? hits.size() - 1 : n - 1;
    return at < hits.size() && hits[at] == day;
}

// How a reader of the store places a series: the two readings the published format allows.
enum class Reader {
    // Monthly and yearly cycles from the month of StartDate; the end by the end rule's own field
    // (OccurrenceCount of a counted series, EndDate of one ending by date).
    kStartDate,
    // Monthly and yearly cycles from the month FirstDateTime names; every ended series ends on
    // EndDate, as a reader that trusts it does.
    kFirstDateTime,
};

// The occurrence days of a pattern: cycles of daily and weekly series anchored by FirstDateTime,
// of monthly and yearly series as the reader anchors them; a day of the month past the month's
// end falls on its last day.
inline std::vector<int64_t> Expand(const tagRecurrencePattern& p, std::size_t limit,
                                   Reader reader = Reader::kStartDate) {
    std::vector<int64_t> out;
    const int64_t start = p.StartDate / 1440;
    const bool byEndDate =
        p.EndType == kEndAfterDate || (reader == Reader::kFirstDateTime && p.EndType == kEndAfterOccurrences);
    const int64_t endDay = byEndDate ? p.EndDate / 1440 : INT64_MAX;
    const std::size_t count =
        p.EndType == kEndAfterOccurrences && reader == Reader::kStartDate ? p.OccurrenceCount : limit;
    const Civil s = CivilFromDays(reader == Reader::kStartDate ? start : p.FirstDateTime / 1440);
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
                if (p.Period == 0 || months % p.Period != 0) break;
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

inline std::vector<int64_t> ExpandWithLibical(const std::string& rule, const Civil& start,
                                              std::size_t limit) {
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

}  // namespace nx::test
