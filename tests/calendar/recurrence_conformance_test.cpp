// Stored recurrence patterns and zone structs against blobs written from the published layout:
// record -> pattern -> bytes compared byte for byte, bytes -> host elements compared value for
// value, and the round trips the host relies on.
#include <gtest/gtest.h>

#include <cstring>

#include "calendar/RecurrencePattern.h"
#include "calendar/TimeZoneStruct.h"
#include "tests/calendar/BlobBuilder.h"

using namespace NAMESPACE_MAPI;
using namespace calendar_test;
using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLParser;

namespace {

constexpr uint32_t k20090327 = 214709760;  // the last Friday of March 2009

// The tail of a pattern the agent writes: no deleted or modified instances, no exception blocks.
Blob Pattern(const Blob& head, const Blob& specific, const Blob& end, const Blob& dates) {
    return Blob()
        .append(head)
        .append(specific)
        .append(end)
        .u32(0)  // DeletedInstanceCount
        .u32(0)  // ModifiedInstanceCount
        .append(dates)
        .u16(0)   // ExceptionCount
        .u32(0)   // ReservedBlock1Size
        .u32(0);  // ReservedBlock2Size
}

// The end elements of a series without end.
const std::string kNoEndElements = "dtRecurEndDate=NULL;bRecurHasEndDate=FALSE;lRecurRepeat=10;";

struct Series {
    const char* name;
    int32_t type, interval, mask, weekDay, instance, day, repeat;
    CDateTime start, end;
    bool hasEnd;
    CDateTime endDate;
    Blob blob;
    std::size_t size;
    // Elements the read side gives, in document order ("name=text;...").
    std::string elements;
};

// A yearly series without end on 1 March of a leap year: its FirstDateTime is 1601-03-01.
Series FirstOfMarch(const char* name, CDateTime start, CDateTime end, uint32_t startDate, uint32_t from,
                    uint32_t to) {
    return {name,
            4,
            1,
            0,
            0,
            0,
            1,
            0,
            start,
            end,
            false,
            CDateTime(),
            Pattern(Head(0x200D, 2, 59 * 1440, 12), Blob().u32(1), EndRule(0x2023, 10),
                    Dates(startDate, kNoEnd, from, to)),
            80,
            "lRecurType=4;lRecurMonth=3;lRecurInterval=1;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;"
            "lRecurDay=1;" +
                kNoEndElements};
}

std::vector<Series> GoldenSeries() {
    const CDateTime none;
    return {
        {"daily every 3 days, end by date", 1, 3, 0, 0, 0, 0, 0, CDateTime(2009, 3, 2, 9, 30, 0),
         CDateTime(2009, 3, 2, 10, 15, 0), true, CDateTime(2009, 3, 31, 0, 0, 0),
         Pattern(Head(0x200A, 0, k20090302 % 4320, 4320), Blob(), EndRule(0x2021, 10),
                 Dates(k20090302, k20090331, 570, 615)),
         76,
         "lRecurType=1;lRecurInterval=3;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;lRecurDay=0;"
         "dtRecurEndDate=2009/03/31 00:00:00;bRecurHasEndDate=TRUE;lRecurRepeat=10;"},
        {"every weekday, no end", 2, 0, 62, 0, 0, 0, 0, CDateTime(2009, 3, 4, 8, 0, 0),
         CDateTime(2009, 3, 4, 9, 0, 0), false, none,
         Pattern(Head(0x200A, 1, k20090301 % 10080, 1), Blob().u32(62), EndRule(0x2023, 10),
                 Dates(k20090304, kNoEnd, 480, 540)),
         80,
         "lRecurType=2;lRecurInterval=0;lRecurInstance=0;lRecurWeekMask=62;lRecurWeekDay=0;lRecurDay=0;" +
             kNoEndElements},
        {"every 2 weeks on Tue and Thu, end after 5", 2, 2, 20, 0, 0, 0, 5, CDateTime(2009, 3, 10, 13, 0, 0),
         CDateTime(2009, 3, 10, 14, 30, 0), false, none,
         Pattern(Head(0x200B, 1, k20090308 % 20160, 2), Blob().u32(20), EndRule(0x2022, 5),
                 Dates(k20090310, k20090407, 780, 870)),
         80,
         "lRecurType=2;lRecurInterval=2;lRecurInstance=0;lRecurWeekMask=20;lRecurWeekDay=0;lRecurDay=0;"
         "dtRecurEndDate=2009/04/07 00:00:00;bRecurHasEndDate=TRUE;lRecurRepeat=5;"},
        {"weekly without a mask", 2, 1, 0, 0, 0, 0, 0, CDateTime(2009, 3, 4, 10, 0, 0),
         CDateTime(2009, 3, 4, 10, 30, 0), false, none,
         Pattern(Head(0x200B, 1, k20090301 % 10080, 1), Blob().u32(62), EndRule(0x2023, 10),
                 Dates(k20090304, kNoEnd, 600, 630)),
         80,
         "lRecurType=2;lRecurInterval=1;lRecurInstance=0;lRecurWeekMask=62;lRecurWeekDay=0;lRecurDay=0;" +
             kNoEndElements},
        {"monthly on the 15th, no end", 3, 1, 0, 0, 0, 15, 0, CDateTime(2009, 3, 15, 10, 0, 0),
         CDateTime(2009, 3, 15, 11, 0, 0), false, none,
         Pattern(Head(0x200C, 2, 0, 1), Blob().u32(15), EndRule(0x2023, 10),
                 Dates(k20090315, kNoEnd, 600, 660)),
         80,
         "lRecurType=3;lRecurInterval=1;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;lRecurDay=15;" +
             kNoEndElements},
        {"every 2 months on the 3rd Wednesday, end by date", 3, 2, 8, 3, 1, 0, 0,
         CDateTime(2009, 3, 18, 9, 0, 0), CDateTime(2009, 3, 18, 10, 0, 0), true,
         CDateTime(2009, 11, 26, 0, 0, 0),
         Pattern(Head(0x200C, 3, 0, 2), Blob().u32(8).u32(3), EndRule(0x2021, 5),
                 Dates(k20090318, k20091126, 540, 600)),
         84,
         "lRecurType=3;lRecurInterval=2;lRecurInstance=1;lRecurWeekMask=8;lRecurWeekDay=3;lRecurDay=0;"
         "dtRecurEndDate=2009/11/26 00:00:00;bRecurHasEndDate=TRUE;lRecurRepeat=5;"},
        {"monthly on the last Friday", 3, 1, 32, -1, 1, 0, 0, CDateTime(2009, 3, 27, 17, 0, 0),
         CDateTime(2009, 3, 27, 18, 0, 0), false, none,
         Pattern(Head(0x200C, 3, 0, 1), Blob().u32(32).u32(5), EndRule(0x2023, 10),
                 Dates(k20090327, kNoEnd, 1020, 1080)),
         84,
         "lRecurType=3;lRecurInterval=1;lRecurInstance=1;lRecurWeekMask=32;lRecurWeekDay=-1;lRecurDay=0;" +
             kNoEndElements},
        FirstOfMarch("yearly on 1 March of a leap year, all day", CDateTime(2012, 3, 1, 0, 0, 0),
                     CDateTime(2012, 3, 2, 0, 0, 0), k20120301, 0, 1440),
        FirstOfMarch("yearly on 1 March 2000, a leap year by the 400-year rule",
                     CDateTime(2000, 3, 1, 9, 0, 0), CDateTime(2000, 3, 1, 10, 0, 0), k20000301, 540, 600),
        {"every 2 years on the 4th Thursday of November, end after 3", 4, 2, 16, 4, 1, 0, 3,
         CDateTime(2009, 11, 26, 12, 0, 0), CDateTime(2009, 11, 26, 13, 0, 0), false, none,
         Pattern(Head(0x200D, 3, 304 * 1440, 24), Blob().u32(16).u32(4), EndRule(0x2022, 3),
                 Dates(k20091126, k20131128, 720, 780)),
         84,
         "lRecurType=4;lRecurMonth=11;lRecurInterval=2;lRecurInstance=1;lRecurWeekMask=16;"
         "lRecurWeekDay=4;lRecurDay=0;"
         "dtRecurEndDate=2013/11/28 00:00:00;bRecurHasEndDate=TRUE;lRecurRepeat=3;"},
        {"daily with interval 0", 1, 0, 0, 0, 0, 0, 0, CDateTime(2009, 3, 2, 9, 30, 0),
         CDateTime(2009, 3, 2, 9, 29, 59), false, none,
         Pattern(Head(0x200A, 0, 0, 0), Blob(), EndRule(0x2023, 10), Dates(k20090302, kNoEnd, 570, 569)), 76,
         "lRecurType=1;lRecurInterval=0;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;lRecurDay=0;" +
             kNoEndElements}};
}

void Fill(CCalendarEx& r, const Series& s) {
    r.lRecurType = s.type;
    r.lRecurInterval = s.interval;
    r.lRecurWeekMask = s.mask;
    r.lRecurWeekDay = s.weekDay;
    r.lRecurInstance = s.instance;
    r.lRecurDay = s.day;
    r.lRecurRepeat = s.repeat;
    r.dtStartTime = s.start;
    r.dtEndTime = s.end;
    r.bRecurHasEndDate = s.hasEnd ? 1 : 0;
    r.dtRecurEndDate = s.endDate;
}

// The read side's elements for a blob, after the item's own lRecurType element.
std::string ReadBack(const std::vector<uint8_t>& blob, int32_t type, CXMLParser& doc) {
    tagRecurrencePattern pattern;
    EXPECT_EQ(ParseRecurrencePattern(blob.data(), blob.size(), pattern), blob.size());
    CreateCalendarDocument(doc);
    AddCalendarElement(doc, "lRecurType", std::to_string(type));
    RecurrencePatternToXml(pattern, doc);
    CXMLParser reread;
    reread.Init();
    reread.LoadXML(doc.GetXML());
    std::string out;
    for (const char* name :
         {"lRecurType", "lRecurMonth", "lRecurInterval", "lRecurInstance", "lRecurWeekMask", "lRecurWeekDay",
          "lRecurDay", "dtRecurEndDate", "bRecurHasEndDate", "lRecurRepeat", "ExceptionRule", "lCalType"}) {
        const auto node = reread.SelectNode(std::string("/Calendar/") + name);
        if (node) out += std::string(name) + "=" + CXMLParser::GetNodeText(node) + ";";
    }
    return out;
}

}  // namespace

TEST(RecurrenceConformance, RecordsAreWrittenAsThePublishedBytes) {
    for (const Series& s : GoldenSeries()) {
        CCalendarEx r;
        Fill(r, s);
        tagRecurrencePattern pattern;
        BuildRecurrencePattern(pattern, r);
        std::vector<uint8_t> bytes;
        ASSERT_EQ(SerializeRecurrencePattern(pattern, &bytes), 1) << s.name;
        EXPECT_EQ(bytes.size(), s.size) << s.name;
        EXPECT_EQ(bytes, s.blob.bytes) << s.name;
    }
    EXPECT_EQ(SerializeRecurrencePattern(tagRecurrencePattern(), nullptr), 0);
}

TEST(RecurrenceConformance, PublishedBytesReadBackAsTheHostsElements) {
    for (const Series& s : GoldenSeries()) {
        CXMLParser doc;
        EXPECT_EQ(ReadBack(s.blob.bytes, s.type, doc), s.elements) << s.name;
    }
}

// What the host sends back unchanged is written as the very bytes it was read from when the
// write keeps the stored end rule (it does for end elements sent back as read). Without that hint
// the elements alone decide: a counted series comes back ending by its last day with the same
// count, and one without end as ending after the 10 occurrences its stored count shows.
TEST(RecurrenceConformance, ReadElementsWriteTheSameSeriesAgain) {
    for (const Series& s : GoldenSeries()) {
        CXMLParser doc;
        ReadBack(s.blob.bytes, s.type, doc);
        AddCalendarElement(doc, "dtStartTime", FormatDocumentDate(s.start));
        AddCalendarElement(doc, "dtEndTime", FormatDocumentDate(s.end));
        CCalendarEx r;
        ParseCalendarXML(doc.GetXML(), r);
        tagRecurrencePattern original;
        ParseRecurrencePattern(s.blob.bytes.data(), s.blob.bytes.size(), original);

        tagRecurrencePattern kept;
        BuildRecurrencePattern(kept, r, original.EndType);
        std::vector<uint8_t> bytes;
        SerializeRecurrencePattern(kept, &bytes);
        EXPECT_EQ(bytes, s.blob.bytes) << s.name;

        tagRecurrencePattern fresh;
        BuildRecurrencePattern(fresh, r);
        const uint32_t expectedEnd = original.EndType == kEndNever ? kEndAfterOccurrences : kEndAfterDate;
        EXPECT_EQ(fresh.EndType, expectedEnd) << s.name;
        if (original.EndType != kEndNever) {
            EXPECT_EQ(fresh.EndDate, original.EndDate) << s.name;
            EXPECT_EQ(fresh.OccurrenceCount, original.OccurrenceCount) << s.name;
        }
    }
}

TEST(RecurrenceConformance, ReadSideSpecialCases) {
    const struct {
        const char* name;
        Blob blob;
        std::string elements;
    } cases[] = {
        {"end type 0xFFFFFFFF reads as never ending",
         Pattern(Head(0x200C, 2, 0, 1), Blob().u32(15), EndRule(0xFFFFFFFF, 7),
                 Dates(k20090315, k20090331, 0, 60)),
         "lRecurType=3;lRecurInterval=1;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;lRecurDay=15;"
         "dtRecurEndDate=NULL;bRecurHasEndDate=FALSE;lRecurRepeat=7;"},
        {"a non-Gregorian series is only marked",
         Pattern(Head(0x200C, 12, 0, 1, 6), Blob().u32(30), EndRule(0x2023, 10),
                 Dates(k20090315, kNoEnd, 0, 60)),
         "lRecurType=3;lCalType=-1;"},
        {"N of 0 and a Hijri month-nth pattern",
         Pattern(Head(0x200D, 11, 0, 36), Blob().u32(2).u32(0), EndRule(0x2023, 10),
                 Dates(k20090101, kNoEnd, 0, 60)),
         "lRecurType=3;lRecurMonth=1;lRecurInterval=3;lRecurInstance=1;lRecurWeekMask=2;lRecurWeekDay=0;"
         "lRecurDay=0;"
         "dtRecurEndDate=NULL;bRecurHasEndDate=FALSE;lRecurRepeat=10;"},
        {"an unknown frequency carries nothing pattern-specific",
         Pattern(Head(0x2001, 3, 0, 1), Blob(), EndRule(0x2022, 0xFFFFFFFF),
                 Dates(k20090101, k20090101, 0, 60)),
         "lRecurType=3;lRecurInterval=1;lRecurInstance=0;lRecurWeekMask=0;lRecurWeekDay=0;lRecurDay=0;"
         "dtRecurEndDate=2009/01/01 00:00:00;bRecurHasEndDate=TRUE;lRecurRepeat=-1;"},
    };
    for (const auto& c : cases) {
        CXMLParser doc;
        EXPECT_EQ(ReadBack(c.blob.bytes, 3, doc), c.elements) << c.name;
    }
}

TEST(RecurrenceConformance, BuildEdgeCases) {
    const struct {
        const char* name;
        int32_t type, interval;
        CDateTime start;
        uint32_t frequency, period, firstDateTime, startDate, startOffset;
    } cases[] = {
        {"daily, huge interval wraps without dividing by zero", 1, 134217728, CDateTime(2009, 3, 2, 0, 0, 0),
         0x200A, 0, 0, k20090302, 0},
        {"weekly, interval 0 with another mask", 2, 0, CDateTime(2009, 3, 4, 0, 0, 0), 0x200B, 0, 0,
         k20090304, 0},
        {"yearly, invalid start", 4, 1, CDateTime(0.0, CDateTime::invalid), 0x200D, 12, 0, 0, 0},
        {"unknown kind", 9, 4, CDateTime(2009, 3, 4, 0, 0, 0), 0, 4, 0, k20090304, 0},
        {"start before 1601", 3, 1, CDateTime(1600, 12, 31, 6, 0, 0), 0x200C, 1, 0, 0, 360},
    };
    for (const auto& c : cases) {
        CCalendarEx r;
        r.lRecurType = c.type;
        r.lRecurInterval = c.interval;
        r.lRecurWeekMask = 20;
        r.dtStartTime = c.start;
        tagRecurrencePattern p;
        BuildRecurrencePattern(p, r);
        EXPECT_EQ(p.RecurFrequency, c.frequency) << c.name;
        EXPECT_EQ(p.Period, c.period) << c.name;
        EXPECT_EQ(p.FirstDateTime, c.firstDateTime) << c.name;
        EXPECT_EQ(p.StartDate, c.startDate) << c.name;
        EXPECT_EQ(p.StartTimeOffset, c.startOffset) << c.name;
    }
    // Offsets count from the start day's midnight, truncated toward zero; an end on the day before
    // gives a negative offset, stored as its bits.
    CCalendarEx r;
    r.lRecurType = 3;
    r.dtStartTime = CDateTime(2009, 3, 4, 10, 0, 0);
    r.dtEndTime = CDateTime(2009, 3, 4, 8, 59, 30);
    tagRecurrencePattern p;
    BuildRecurrencePattern(p, r);
    EXPECT_EQ(p.EndTimeOffset, static_cast<uint32_t>(539));
    r.dtEndTime = CDateTime(2009, 3, 3, 23, 0, 30);
    BuildRecurrencePattern(p, r);
    EXPECT_EQ(p.EndTimeOffset, static_cast<uint32_t>(-59));
}

TEST(RecurrenceConformance, EndRuleFollowsTheEndDateValueNotItsStatus) {
    const struct {
        const char* name;
        int32_t hasEnd, repeat;
        CDateTime endDate;
        uint32_t endType, occurrences, endDate_;
    } cases[] = {
        {"NULL end date with TRUE and a count", 1, 4, CDateTime(0.0, CDateTime::invalid), 0x2022, 4,
         k20090604},
        {"NULL end date with TRUE, no count", 1, 0, CDateTime(0.0, CDateTime::invalid), 0x2023, 10, kNoEnd},
        {"unreadable end date with TRUE: no occurrence before it", 1, 0, CDateTime(-1.0, CDateTime::invalid),
         0x2021, 0, 0},
        {"end date without TRUE, with a count: the count decides the end", 0, 2,
         CDateTime(2009, 3, 31, 12, 0, 0), 0x2022, 2, k20090404},
    };
    for (const auto& c : cases) {
        CCalendarEx r;
        r.lRecurType = 3;
        r.lRecurDay = 4;
        r.dtStartTime = CDateTime(2009, 3, 4, 9, 0, 0);
        r.bRecurHasEndDate = c.hasEnd;
        r.lRecurRepeat = c.repeat;
        r.dtRecurEndDate = c.endDate;
        tagRecurrencePattern p;
        BuildRecurrencePattern(p, r);
        EXPECT_EQ(p.EndType, c.endType) << c.name;
        EXPECT_EQ(p.OccurrenceCount, c.occurrences) << c.name;
        EXPECT_EQ(p.EndDate, c.endDate_) << c.name;
    }
}

TEST(RecurrenceConformance, MinutesAndDates) {
    const struct {
        CDateTime date;
        uint32_t minutes;
    } cases[] = {
        {CDateTime(1601, 1, 1, 0, 0, 0), 0},
        {CDateTime(2009, 3, 2, 0, 0, 0), k20090302},
        {CDateTime(4500, 12, 31, 23, 59, 0), kNoEnd},
        {CDateTime(2009, 3, 2, 0, 0, 59), k20090302},  // seconds are dropped
        {CDateTime(1600, 12, 31, 23, 59, 0), 0},       // before 1601: the earliest count
        {CDateTime(9999, 12, 31, 0, 0, 0), 0xFFFFFFFFu},
        {CDateTime(1.0, CDateTime::invalid), 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DateToMinutes(c.date), c.minutes) << c.date.Format("%Y-%m-%d %H:%M:%S");
    for (uint32_t minutes : {0u, k20090302, kNoEnd, 0xFFFFFFFFu}) {
        CDateTime date;
        MinutesToDate(minutes, date);
        EXPECT_TRUE(date.IsValid()) << minutes;
        EXPECT_EQ(DateToMinutes(date), minutes);
    }
}

TEST(RecurrenceConformance, TruncatedBlobsReadOnlyWhatFits) {
    for (const Series& s : GoldenSeries()) {
        tagRecurrencePattern full;
        ParseRecurrencePattern(s.blob.bytes.data(), s.blob.bytes.size(), full);
        for (std::size_t n = 0; n < s.blob.bytes.size(); ++n) {
            const std::vector<uint8_t> prefix(s.blob.bytes.begin(),
                                              s.blob.bytes.begin() + static_cast<std::ptrdiff_t>(n));
            tagRecurrencePattern p;
            const std::size_t used = ParseRecurrencePattern(prefix.data(), n, p);
            EXPECT_LE(used, n);
            // A field is there exactly when all its bytes are.
            EXPECT_EQ(p.Period, n >= 18 ? full.Period : 0u) << s.name << " " << n;
            EXPECT_EQ(p.StartTimeOffset, n >= s.blob.bytes.size() - 14 ? full.StartTimeOffset : 0u)
                << s.name << " " << n;
        }
    }
    tagRecurrencePattern p;
    EXPECT_EQ(ParseRecurrencePattern(nullptr, 84, p), 0u);
}

TEST(RecurrenceConformance, CountsBeyondTheBytesAllocateOnlyWhatTheBytesCarry) {
    // DeletedInstanceCount far beyond the bytes, two dates, then half a date.
    const Blob monthly = Blob().append(Head(0x200C, 2, 0, 1)).u32(15).append(EndRule(0x2023, 10));
    const Blob blob = Blob(monthly).u32s({0x7FFFFFFF, k20090310, k20090311}).u16(7);
    tagRecurrencePattern p;
    // The half date is too short for the count or any date after it, so the first field it fits
    // is ExceptionCount.
    EXPECT_EQ(ParseRecurrencePattern(blob.bytes.data(), blob.bytes.size(), p), blob.bytes.size());
    EXPECT_EQ(p.ExceptionCount, 7);
    EXPECT_EQ(p.ModifiedInstanceCount, 0);
    EXPECT_EQ(p.DeletedInstanceCount, 0x7FFFFFFF);
    EXPECT_EQ(p.DeletedInstanceDates, (std::vector<uint32_t>{k20090310, k20090311}));
    EXPECT_TRUE(p.Exceptions.empty());

    const Blob negative = Blob(monthly).u32s({0xFFFFFFFF, 0xFFFFFFF0});
    EXPECT_EQ(ParseRecurrencePattern(negative.bytes.data(), negative.bytes.size(), p), negative.bytes.size());
    EXPECT_TRUE(p.DeletedInstanceDates.empty());
    EXPECT_TRUE(p.Exceptions.empty());
}

TEST(TimeZoneStructConformance, ZoneRulesAreTheFortyEightPublishedBytes) {
    NAMESPACE_COMMON::tagNxTimeZone zone;
    zone.DisplayName = "(UTC+01:00) Somewhere";
    zone.Bias = -60;
    zone.StandardBias = 0;
    zone.DaylightBias = -60;
    zone.StandardDate = SYSTEMTIME{0, 10, 0, 5, 3, 0, 0, 0};
    zone.DaylightDate = SYSTEMTIME{2007, 3, 0, 5, 2, 0, 0, 0};
    const Blob expected = Blob()
                              .u32(static_cast<uint32_t>(-60))
                              .u32(0)
                              .u32(static_cast<uint32_t>(-60))
                              .u16s({0, 0, 10, 0, 5, 3, 0, 0, 0})  // StandardYear, StandardDate
                              .u16s({2007, 2007, 3, 0, 5, 2, 0, 0, 0});
    std::vector<uint8_t> bytes;
    ASSERT_EQ(SerializeTimeZoneStruct(zone, &bytes), 1);
    EXPECT_EQ(bytes, expected.bytes);
    EXPECT_EQ(SerializeTimeZoneStruct(zone, nullptr), 0);

    NAMESPACE_COMMON::tagNxTimeZone read;
    ASSERT_TRUE(ParseTimeZoneStruct(bytes.data(), bytes.size(), read));
    zone.DisplayName.clear();  // texts are not stored
    EXPECT_EQ(read, zone);

    // The separate years are ignored; each date keeps its own wYear. Bytes after the 48 are not
    // looked at.
    std::vector<uint8_t> odd = bytes;
    odd[12] = 0x34;
    odd[30] = 0x12;
    odd.push_back(0xFF);
    read = NAMESPACE_COMMON::tagNxTimeZone();
    ASSERT_TRUE(ParseTimeZoneStruct(odd.data(), odd.size(), read));
    EXPECT_EQ(read, zone);

    // A value cut short is no zone at all, however little is missing: half a rule would move
    // every time the host shows.
    NAMESPACE_COMMON::tagNxTimeZone untouched = zone;
    untouched.Bias = -540;
    untouched.StandardName = "kept";
    for (const std::size_t size : {std::size_t{0}, std::size_t{13}, std::size_t{47}}) {
        read = untouched;
        EXPECT_FALSE(ParseTimeZoneStruct(bytes.data(), size, read)) << size;
        EXPECT_EQ(read, untouched) << size;
    }
    EXPECT_FALSE(ParseTimeZoneStruct(nullptr, 48, read));
}
