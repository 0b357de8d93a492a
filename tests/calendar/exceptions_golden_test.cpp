// The exceptions text of series with deleted and modified occurrences, against committed texts.
// Each blob is written from the published layout (ExceptionInfo, then ExtendedException per entry).
#include <gtest/gtest.h>

#include "calendar/RecurrencePattern.h"
#include "tests/calendar/BlobBuilder.h"
#include "tests/support/GoldenTrace.h"

using namespace NAMESPACE_MAPI;
using namespace calendar_test;
using NAMESPACE_COMMON::CXMLParser;

namespace {

// A daily series from 2009-03-02 09:30 with the given lists, up to ExceptionCount.
Blob DailyWith(const std::vector<uint32_t>& deleted, const std::vector<uint32_t>& modified,
               uint16_t exceptionCount, uint32_t writerVersion2 = 0x3008) {
    Blob b = Blob()
                 .append(Head(0x200A, 0, 0, 1440))
                 .append(EndRule(0x2023, 10))
                 .u32(static_cast<uint32_t>(deleted.size()));
    for (uint32_t d : deleted) b.u32(d);
    b.u32(static_cast<uint32_t>(modified.size()));
    for (uint32_t d : modified) b.u32(d);
    return b.append(Dates(k20090302, kNoEnd, 570, 600, writerVersion2)).u16(exceptionCount);
}

// The item's document as the read path has filled it before the recurrence elements.
void ItemDocument(CXMLParser& doc, const char* description, const char* location, const char* allDay,
                  const char* reminder) {
    CreateCalendarDocument(doc);
    if (description) AddCalendarElement(doc, "Description", description);
    if (location) AddCalendarElement(doc, "Location", location);
    AddCalendarElement(doc, "bAlldayEvent", allDay);
    AddCalendarElement(doc, "lReminderMinutes", reminder);
    AddCalendarElement(doc, "lRecurType", "1");
}

std::string ExceptionRuleOf(const std::vector<uint8_t>& blob, CXMLParser& doc) {
    tagRecurrencePattern pattern;
    EXPECT_EQ(ParseRecurrencePattern(blob.data(), blob.size(), pattern), blob.size());
    RecurrencePatternToXml(pattern, doc);
    // Through the serialised document and back, as the host receives it.
    CXMLParser received;
    received.Init();
    received.LoadXML(doc.GetXML());
    return CXMLParser::GetNodeText(received.SelectNode("/Calendar/ExceptionRule"));
}

}  // namespace

TEST(ExceptionsGolden, TextsOfDeletedAndModifiedOccurrences) {
    const auto modifiedBlob = [] {
        Blob b = DailyWith({k20090304, k20090310, k20090311}, {k20090304, k20090311}, 2);
        // ExceptionInfo 1: moved to 10:00, subject, reminder delta and set, location, all-day.
        b.u32s({k20090304 + 600, k20090304 + 660, k20090304 + 570}).u16(0x009D);
        b.u16(4).u16(3).raw("abc").u32(5).u32(1).u16(6).u16(5).raw("Rm 12").u32(1);
        // ExceptionInfo 2: moved to the next day; meeting type, busy status, attachment, colour.
        b.u32s({k20090312 + 840, k20090312 + 900, k20090311 + 570}).u16(0x0162).u32s({0, 2, 0, 3});
        b.u32(0);  // ReservedBlock1Size
        // ExtendedException 1: times again, then the wide texts.
        b.u32s({0, k20090304 + 600, k20090304 + 660, k20090304 + 570}).wide(u"abc").wide(u"Rm 12").u32(0);
        // ExtendedException 2: no texts, so only its first reserved block.
        b.u32(0);
        return b.u32(0);  // ReservedBlock2Size
    };
    const auto highlightBlob = [] {
        Blob b = DailyWith({k20090317}, {k20090317}, 1, 0x3009);
        b.u32s({k20090317 + 600, k20090317 + 630, k20090317 + 570}).u16s({0x0001, 5, 4}).raw("Late");
        b.u32(4).raw("RSV1");         // ReservedBlock1
        b.u32(8).u32(1).raw("hilt");  // ChangeHighlight: size, value, reserved
        b.u32(2).raw("e1");           // ReservedBlockEE1
        b.u32s({k20090317 + 600, k20090317 + 630, k20090317 + 570}).wide(u"L\u00e4t\u20ac").u32(0);
        return b.u32(0);
    };
    const struct {
        const char* golden;
        Blob blob;
        const char *description, *location, *allDay, *reminder;
    } cases[] = {
        {"deletions_only", DailyWith({k20090312, k20090310}, {}, 0).u32(0).u32(0), "Stand-up", "Room 1",
         "FALSE", "15"},
        {"modified_occurrences", modifiedBlob(), "Stand-up", "Room 1", "FALSE", "15"},
        // Counts that disagree: the entries keep only their dates; nothing else is read.
        {"mismatched_counts", DailyWith({k20090304}, {k20090304}, 0).u32(0).u32(0),
         "\xC3\x9Cn\xC3\xAF"
         "code \xE2\x82\xAC",
         nullptr, "TRUE", "-1"},
        {"change_highlight", highlightBlob(), "Stand-up", "Room 1", "FALSE", "15"},
    };
    for (const auto& c : cases) {
        CXMLParser doc;
        ItemDocument(doc, c.description, c.location, c.allDay, c.reminder);
        const std::string expected = nx::e2e::GoldenText(std::string(c.golden) + ".txt");
        ASSERT_FALSE(expected.empty()) << c.golden;
        EXPECT_EQ(ExceptionRuleOf(c.blob.bytes, doc), expected) << c.golden;
    }
}

TEST(ExceptionsGolden, NoDeletedInstancesMeansNoExceptionRule) {
    CXMLParser doc;
    ItemDocument(doc, "a", "b", "FALSE", "0");
    // A modified entry without a deleted one is not described at all.
    const Blob blob = DailyWith({}, {k20090304}, 0).u32(0).u32(0);
    EXPECT_EQ(ExceptionRuleOf(blob.bytes, doc), "");
    EXPECT_FALSE(doc.SelectNode("/Calendar/ExceptionRule"));
}

TEST(ExceptionsGolden, TextsThatWouldOverflowTheirLineAreWrittenEmpty) {
    const struct {
        std::size_t subject, location;
        bool subjectKept, locationKept;
    } cases[] = {
        {375, 373, true, true},
        {376, 374, false, false},
        {384, 1, false, true},  // the largest text whose base64 still fits the encoder's buffer
        {385, 5000, false, false},
    };
    for (const auto& c : cases) {
        tagRecurrencePattern p;
        p.DeletedInstanceCount = 1;
        p.DeletedInstanceDates = {k20090304};
        p.ModifiedInstanceCount = 1;
        p.Exceptions.resize(1);
        p.Exceptions[0].ModifiedInstanceDate = k20090304;
        p.Exceptions[0].OverrideFlags = kOverrideSubject | kOverrideLocation;
        p.Exceptions[0].Subject.assign(c.subject, u'\u00e9');
        p.Exceptions[0].Location.assign(c.location, u'x');
        const std::string text = BuildExceptionsText(p, tagExceptionDefaults());
        std::size_t lineStart = 0;
        while (lineStart < text.size()) {
            std::size_t end = text.find("\r\n", lineStart);
            if (end == std::string::npos) end = text.size();
            EXPECT_LE(end - lineStart + 2, 1023u);  // the line, its CR LF, within the line buffer
            lineStart = end + 2;
        }
        EXPECT_EQ(text.find("<subject></subject>") == std::string::npos, c.subjectKept) << c.subject;
        EXPECT_EQ(text.find("<location></location>") == std::string::npos, c.locationKept) << c.location;
    }
}
