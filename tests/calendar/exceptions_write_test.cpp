// The host's exceptions text back into the store: what the read sent for a series with deleted and
// modified occurrences, parsed and put into a newly built pattern, is read as the same text again;
// with the stored pattern at hand the modifications keep their original days. Texts that are not
// of the exceptions form are refused whole.
#include <gtest/gtest.h>

#include "calendar/RecurrencePattern.h"
#include "common/Encoding.h"
#include "tests/calendar/BlobBuilder.h"

using namespace NAMESPACE_MAPI;
using namespace calendar_test;
using NAMESPACE_COMMON::CDateTime;

namespace {

const tagExceptionDefaults kDefaults{"Stand-up", "Room 1", 0, 15};

// The weekly Wednesday series of WeeklyWithExceptions as the host's record describes it.
void Wednesdays(CCalendarEx& r) {
    r.lRecurType = 2;
    r.lRecurInterval = 1;
    r.lRecurWeekMask = 8;
    r.dtStartTime = CDateTime(2009, 3, 4, 9, 30, 0);
    r.dtEndTime = CDateTime(2009, 3, 4, 10, 30, 0);
}

// A modification with every override: one occurrence moved to the next day, its texts non-ASCII.
std::string MovedText() {
    const std::string subject =
        NAMESPACE_COMMON::Base64Encode(NAMESPACE_COMMON::Utf16LeBytes("R\xC3\xA9vision").data(), 16);
    const std::string location =
        NAMESPACE_COMMON::Base64Encode(NAMESPACE_COMMON::Utf16LeBytes("Hall").data(), 8);
    return "<exceptions>\r\n<deletion time = \"2009/03/11\"></deletion>\r\n"
           "<modification time = \"2009/03/26\">\r\n\t<subject>" +
           subject + "</subject>\r\n\t<location>" + location +
           "</location>\r\n\t<start>2009/03/26 14:00:00</start>\r\n\t<end>2009/03/26 15:00:00</end>\r\n"
           "\t<reminderset>0</reminderset>\r\n\t<reminderdelta>15</reminderdelta>\r\n\t<allday>1</allday>\r\n"
           "</modification>\r\n</exceptions>";
}

std::vector<uint8_t> Written(const std::string& text, const tagRecurrencePattern* stored,
                             tagRecurrencePattern& out) {
    CCalendarEx r;
    Wednesdays(r);
    tagRecurrencePattern built;
    BuildRecurrencePattern(built, r);
    tagExceptionsText parsed;
    EXPECT_TRUE(ParseExceptionsText(text, parsed)) << text;
    ApplyExceptions(built, parsed, kDefaults, stored);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(SerializeRecurrencePattern(built, &bytes), 1);
    EXPECT_EQ(ParseRecurrencePattern(bytes.data(), bytes.size(), out), bytes.size());
    return bytes;
}

}  // namespace

TEST(ExceptionsWrite, TheReadTextOfWrittenExceptionsIsTheHostsText) {
    tagRecurrencePattern stored;
    const std::vector<uint8_t> blob = WeeklyWithExceptions();
    ParseRecurrencePattern(blob.data(), blob.size(), stored);
    const std::string storedText = BuildExceptionsText(stored, kDefaults);
    for (const std::string& text : {storedText, MovedText()}) {
        for (const tagRecurrencePattern* lender : {static_cast<const tagRecurrencePattern*>(nullptr),
                                                   static_cast<const tagRecurrencePattern*>(&stored)}) {
            tagRecurrencePattern written;
            Written(text, lender, written);
            EXPECT_EQ(BuildExceptionsText(written, kDefaults), text);
            EXPECT_EQ(written.ExceptionCount, written.Exceptions.size());
        }
    }
    // The stored modification of 03-18 was an occurrence of 03-18 09:30: kept with the store at hand.
    tagRecurrencePattern written;
    Written(storedText, &stored, written);
    ASSERT_EQ(written.Exceptions.size(), 1u);
    EXPECT_EQ(written.Exceptions[0].OriginalStartDate, stored.Exceptions[0].OriginalStartDate);
    EXPECT_EQ(written.DeletedInstanceDates, (std::vector<uint32_t>{k20090311, k20090318}));
}

TEST(ExceptionsWrite, OnlyWhatDiffersFromTheSeriesIsAnOverride) {
    tagRecurrencePattern written;
    Written(MovedText(), nullptr, written);
    ASSERT_EQ(written.Exceptions.size(), 1u);
    const tagExceptionInfo& e = written.Exceptions[0];
    // Subject, location, reminder on/off and all-day differ; the reminder lead is the series'.
    EXPECT_EQ(e.OverrideFlags,
              kOverrideSubject | kOverrideLocation | kOverrideReminderSet | kOverrideSubType);
    EXPECT_EQ(e.Subject, u"R\u00E9vision");
    const uint32_t day0326 = k20090318 + 8 * 1440;
    EXPECT_EQ(e.ModifiedInstanceDate, day0326);
    EXPECT_EQ(e.StartDateTime, day0326 + 14 * 60);
    // Without the store, the moved occurrence is taken for that day's: its day is deleted too.
    EXPECT_EQ(written.DeletedInstanceDates, (std::vector<uint32_t>{k20090311, day0326}));
}

TEST(ExceptionsWrite, TextsNotOfTheExceptionsFormAreRefused) {
    const std::string good = MovedText();
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"no end", "<exceptions>\r\n<deletion time = \"2009/03/11\"></deletion>"},
        {"trailing text", "<exceptions></exceptions>x"},
        {"a date that is none", "<exceptions><deletion time = \"2009/13/45\"></deletion></exceptions>"},
        {"base64 that is not",
         good.substr(0, good.find("<subject>") + 9) + "@@" + good.substr(good.find("</subject>"))},
        {"odd UTF-16 length",
         good.substr(0, good.find("<subject>") + 9) + "QQ==" + good.substr(good.find("</subject>"))},
        {"a missing element",
         good.substr(0, good.find("\t<end>")) + good.substr(good.find("\t<reminderset>"))},
        {"an unknown element", "<exceptions><moved time = \"2009/03/11\"></moved></exceptions>"},
    };
    for (const auto& c : cases) {
        tagExceptionsText parsed;
        EXPECT_FALSE(ParseExceptionsText(c.text, parsed)) << c.name;
    }
    tagExceptionsText parsed;
    EXPECT_TRUE(ParseExceptionsText("<exceptions>\r\n</exceptions>", parsed));
    EXPECT_TRUE(parsed.Deletions.empty() && parsed.Modifications.empty());
}
