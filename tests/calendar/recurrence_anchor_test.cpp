// The anchor of monthly and yearly series as the published format defines it, computed here from
// its formula (the month count of the start since January 1601, modulo the period in months, as
// the minutes to the first day of that month), for the series where a wrong anchor shows: yearly
// series from the last day of every month of a common and of a leap year, every-2 and
// every-3-months series, n-th and last weekdays. Each stored pattern is also expanded by a reader
// that anchors on FirstDateTime and one that anchors on StartDate; both must list libical's days.
#include <gtest/gtest.h>

#include <string>

#include "tests/calendar/RecurrenceExpander.h"

using namespace nx::test;
using NAMESPACE_COMMON::CDateTime;

namespace {

struct AnchorRow {
    std::string name;
    int32_t type, interval, instance, mask, weekDay;
    Civil start;
    std::string rule;  // the equivalent RRULE
};

uint32_t PublishedFirstDateTime(const Civil& start, uint32_t periodMonths) {
    const int64_t months = (int64_t{start.y} - 1601) * 12 + (start.m - 1);
    const int64_t anchor = months % periodMonths;
    const int64_t day =
        DaysFromCivil(static_cast<int>(1601 + anchor / 12), static_cast<unsigned>(anchor % 12 + 1), 1);
    return static_cast<uint32_t>(day * 1440);
}

std::vector<AnchorRow> Rows() {
    std::vector<AnchorRow> rows;
    for (int year : {2009, 2012}) {
        for (unsigned m = 1; m <= 12; ++m) {
            const unsigned last = DaysIn(year, m);
            rows.push_back(
                {"yearly from " + std::to_string(year) + "-" + std::to_string(m) + "-" + std::to_string(last),
                 4, 1, 0, 0, 0, Civil{year, m, last},
                 "FREQ=YEARLY;BYMONTH=" + std::to_string(m) + ";BYMONTHDAY=" + (last > 28 ? "-1" : "28")});
        }
    }
    for (int interval : {2, 3}) {
        const std::string every = "FREQ=MONTHLY;INTERVAL=" + std::to_string(interval);
        for (unsigned m : {1u, 2u, 5u, 11u}) {
            const std::string i = std::to_string(interval);
            rows.push_back({"every " + i + " months on the 14th from month " + std::to_string(m), 3, interval,
                            0, 0, 0, Civil{2010, m, 14}, every + ";BYMONTHDAY=14"});
        }
        // The third Wednesday of March 2011 is the 16th; its last Friday the 25th.
        rows.push_back({"every " + std::to_string(interval) + " months, 3rd Wednesday", 3, interval, 1, 8, 3,
                        Civil{2011, 3, 16}, every + ";BYDAY=WE;BYSETPOS=3"});
        rows.push_back({"every " + std::to_string(interval) + " months, last Friday", 3, interval, 1, 32, -1,
                        Civil{2011, 3, 25}, every + ";BYDAY=FR;BYSETPOS=-1"});
    }
    // The second Monday of October 2013 is the 14th; the last Sunday of February 2012 the 26th.
    rows.push_back({"yearly, 2nd Monday of October", 4, 1, 1, 2, 2, Civil{2013, 10, 14},
                    "FREQ=YEARLY;BYMONTH=10;BYDAY=MO;BYSETPOS=2"});
    rows.push_back({"every 3 years, last Sunday of February", 4, 3, 1, 1, -1, Civil{2012, 2, 26},
                    "FREQ=YEARLY;INTERVAL=3;BYMONTH=2;BYDAY=SU;BYSETPOS=-1"});
    return rows;
}

}  // namespace

TEST(RecurrenceAnchor, MonthlyAndYearlyFirstDateTimeIsThePublishedAnchor) {
    constexpr std::size_t kLimit = 14;
    for (const AnchorRow& row : Rows()) {
        CCalendarEx r;
        r.lRecurType = row.type;
        r.lRecurInterval = row.interval;
        r.lRecurInstance = row.instance;
        r.lRecurWeekMask = row.mask;
        r.lRecurWeekDay = row.weekDay;
        r.lRecurDay = static_cast<int32_t>(row.start.d);
        const int m = static_cast<int>(row.start.m), d = static_cast<int>(row.start.d);
        r.dtStartTime = CDateTime(row.start.y, m, d, 9, 0, 0);
        r.dtEndTime = CDateTime(row.start.y, m, d, 10, 0, 0);
        tagRecurrencePattern built;
        BuildRecurrencePattern(built, r);
        const uint32_t period = static_cast<uint32_t>(row.type == 4 ? 12 * row.interval : row.interval);
        EXPECT_EQ(built.Period, period) << row.name;
        EXPECT_EQ(built.FirstDateTime, PublishedFirstDateTime(row.start, period)) << row.name;

        std::vector<uint8_t> bytes;
        ASSERT_EQ(SerializeRecurrencePattern(built, &bytes), 1);
        tagRecurrencePattern stored;
        ParseRecurrencePattern(bytes.data(), bytes.size(), stored);
        const std::vector<int64_t> theirs = ExpandWithLibical(row.rule, row.start, kLimit);
        ASSERT_EQ(theirs.size(), kLimit) << row.name;
        EXPECT_EQ(Expand(stored, kLimit, Reader::kFirstDateTime), theirs) << row.name;
        EXPECT_EQ(Expand(stored, kLimit, Reader::kStartDate), theirs) << row.name;
    }
}
