// The appointment record and the calendar document in both directions.
#include <gtest/gtest.h>

#include <vector>

#include "calendar/CalendarEx.h"
#include "calendar/TimeZoneStruct.h"

using namespace NAMESPACE_MAPI;
using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_COMMON::CXMLParser;

namespace {

std::string Doc(const std::string& children) {
    return "<?xml version=\"1.0\"?><Calendar>" + children + "</Calendar>";
}

}  // namespace

TEST(CCalendarEx, AFieldIsFoundByItsLastOccurrence) {
    CCalendarEx r;
    EXPECT_EQ(r.FindField(kFieldBody), nullptr);
    r.AddItem(std::make_unique<CCalendarInfoEx>(kFieldBody, "first"));
    r.AddItem(std::make_unique<CCalendarInfoEx>(kFieldLocation, "there"));
    r.AddItem(std::make_unique<CCalendarInfoEx>(kFieldBody, "second"));
    r.AddItem(nullptr);
    ASSERT_EQ(r.GetItems().size(), 3u);
    EXPECT_EQ(r.GetItems()[0]->m_lType, 100);
    EXPECT_EQ(*r.FindField(kFieldBody), "second");
    EXPECT_EQ(*r.FindField(kFieldLocation), "there");
}

TEST(CalendarDocument, ParseFillsTheMembersOfThePresentElements) {
    CCalendarEx r;
    EXPECT_EQ(
        ParseCalendarXML(Doc("<lFlag>8</lFlag><PIMID>00FF</PIMID><CsFolder>Cal\\Sub</CsFolder>"
                             "<Priority>2</Priority><Description>Stand-up</Description>"
                             "<Location>Room &lt;1&gt;</Location><Body>a\r\nb</Body>"
                             "<bAlldayEvent>TRUE</bAlldayEvent><dtStartTime>2009/03/07 14:05:00</dtStartTime>"
                             "<dtEndTime>2009/03/07 15:00:00</dtEndTime><nRingTone>1</nRingTone>"
                             "<lReminderMinutes>15</lReminderMinutes><lRecurType>3</lRecurType>"
                             "<TimeZone>GMT:+60;DST:0</TimeZone><lCalType>3</lCalType>"
                             "<lRecurInterval>2</lRecurInterval><lRecurMonth>4</lRecurMonth>"
                             "<lRecurInstance>1</lRecurInstance><lRecurWeekMask>8</lRecurWeekMask>"
                             "<lRecurWeekDay>-1</lRecurWeekDay><lRecurDay>0</lRecurDay>"
                             "<lRecurRepeat>5</lRecurRepeat><bRecurHasEndDate>TRUE</bRecurHasEndDate>"
                             "<dtRecurEndDate>2009/12/31 00:00:00</dtRecurEndDate>"
                             "<ExceptionRule>&lt;exceptions&gt;</ExceptionRule><CreateTime>x</CreateTime>"
                             "<RecurType>4</RecurType>"),
                         r),
        1);
    // lFlag, Priority, bAlldayEvent, nRingTone, lReminderMinutes, lRecurType (RecurType is not read),
    // lCalType, lRecurInterval, lRecurMonth, lRecurInstance, lRecurWeekMask, lRecurWeekDay, lRecurRepeat,
    // bRecurHasEndDate.
    EXPECT_EQ(
        (std::vector<int32_t>{r.lFlag, r.Priority, r.bAlldayEvent, r.nRingTone, r.lReminderMinutes,
                              r.lRecurType, r.lCalType, r.lRecurInterval, r.lRecurMonth, r.lRecurInstance,
                              r.lRecurWeekMask, r.lRecurWeekDay, r.lRecurRepeat, r.bRecurHasEndDate}),
        (std::vector<int32_t>{8, 2, 1, 1, 15, 3, 3, 2, 4, 1, 8, -1, 5, 1}));
    EXPECT_EQ(r.PIMID, "00FF");
    EXPECT_EQ(r.CsFolder, "Cal\\Sub");
    EXPECT_EQ(r.dtStartTime, CDateTime(2009, 3, 7, 14, 5, 0));
    EXPECT_EQ(r.dtEndTime, CDateTime(2009, 3, 7, 15, 0, 0));
    EXPECT_EQ(r.dtRecurEndDate, CDateTime(2009, 12, 31, 0, 0, 0));
    // Text fields in the order they are read: Description, Location, Body, TimeZone, ExceptionRule.
    const int32_t order[] = {kFieldDescription, kFieldLocation, kFieldBody, kFieldTimeZone,
                             kFieldExceptionRule};
    ASSERT_EQ(r.GetItems().size(), 5u);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(r.GetItems()[i]->m_lFieldId, order[i]);
    EXPECT_EQ(*r.FindField(kFieldLocation), "Room <1>");
    EXPECT_EQ(*r.FindField(kFieldBody), "a\r\nb");
    EXPECT_EQ(*r.FindField(kFieldExceptionRule), "<exceptions>");
}

TEST(CalendarDocument, ParseLeavesAbsentAndIgnoredElementsAtTheirClearedValues) {
    const struct {
        const char* name;
        std::string text;
        int32_t lCalType, lFlag, priority, allDay, hasEnd;
        std::size_t items;
    } cases[] = {
        {"only kind and flag", Doc("<lCalType>3</lCalType><lFlag>8</lFlag>"), 3, 8, 1, 0, 0, 0},
        {"malformed", "<Calendar><lCalType>3</lCalType>", -1, 0, 1, 0, 0, 0},
        {"other root", "<Contact><lCalType>3</lCalType></Contact>", -1, 0, 1, 0, 0, 0},
        {"nested deeper", Doc("<x><lCalType>3</lCalType></x>"), -1, 0, 1, 0, 0, 0},
        {"priority not a number", Doc("<Priority>abc</Priority>"), -1, 0, 0, 0, 0, 0},
        {"booleans other than TRUE",
         Doc("<bAlldayEvent>true</bAlldayEvent><bRecurHasEndDate>1</bRecurHasEndDate>"), -1, 0, 1, 0, 0, 0},
        {"empty texts", Doc("<Description/><Location></Location><Body></Body><TimeZone/><ExceptionRule/>"),
         -1, 0, 1, 0, 0, 0},
        {"first of two",
         Doc("<lFlag>4</lFlag><lFlag>32</lFlag><Description>a</Description><Description>b</Description>"), -1,
         4, 1, 0, 0, 1},
        {"blank text", Doc("<Description> </Description><bRecurHasEndDate>TRUE</bRecurHasEndDate>"), -1, 0, 1,
         0, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CCalendarEx r;
        EXPECT_EQ(ParseCalendarXML(c.text, r), 1);
        EXPECT_EQ((std::vector<int32_t>{r.lCalType, r.lFlag, r.Priority, r.bAlldayEvent, r.bRecurHasEndDate,
                                        static_cast<int32_t>(r.GetItems().size()), r.lRecurInterval}),
                  (std::vector<int32_t>{c.lCalType, c.lFlag, c.priority, c.allDay, c.hasEnd,
                                        static_cast<int32_t>(c.items), 1}));
    }
}

TEST(CalendarDocument, DatesKeepTheParsersFailureValues) {
    const struct {
        const char* text;
        double value;
        CDateTime::DateTimeStatus status;
    } cases[] = {
        {"NULL", 0.0, CDateTime::invalid},                  // not a date at all
        {"2009/02/30 10:00:00", -1.0, CDateTime::invalid},  // shaped like one, names none
        {"2009/03/07 14:05:00", CDateTime(2009, 3, 7, 14, 5, 0).GetValue(), CDateTime::valid},
    };
    for (const auto& c : cases) {
        CCalendarEx r;
        r.dtRecurEndDate = CDateTime(5.0);
        ParseCalendarXML(Doc(std::string("<dtStartTime>") + c.text + "</dtStartTime><dtRecurEndDate>" +
                             c.text + "</dtRecurEndDate>"),
                         r);
        EXPECT_EQ(r.dtStartTime, CDateTime(c.value, c.status)) << c.text;
        EXPECT_EQ(r.dtRecurEndDate, CDateTime(c.value, c.status)) << c.text;
    }
}

TEST(CalendarDocument, OutboundDocumentsAreIndentedChildrenOfCalendar) {
    CXMLParser doc;
    ASSERT_TRUE(CreateCalendarDocument(doc));
    AddCalendarElement(doc, "Description", "a & b");
    AddCalendarElement(doc, "bAlldayEvent", FormatDocumentBoolean(false));
    AddCalendarElement(doc, "dtStartTime", FormatDocumentDate(CDateTime(2009, 3, 7, 14, 5, 0)));
    AddCalendarElement(doc, "dtEndTime", FormatDocumentDate(CDateTime(1.0, CDateTime::invalid)));
    EXPECT_EQ(doc.GetXML(),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<Description>a &amp; b</Description>"
              "\n\t<bAlldayEvent>FALSE</bAlldayEvent>\n\t<dtStartTime>2009/03/07 14:05:00</dtStartTime>"
              "\n\t<dtEndTime>Invalid DateTime</dtEndTime></Calendar>\n");

    CXMLParser deletion;
    ASSERT_TRUE(
        BuildCalendarDeletionDocument(deletion, NX_LOG_DELETED, "00AB", CDateTime(2010, 1, 2, 3, 4, 5)));
    EXPECT_EQ(
        deletion.GetXML(),
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<lFlag>32</lFlag>\n\t<PIMID>00AB</PIMID>"
        "\n\t<lCalType>3</lCalType>\n\t<LastModifiedTime>2010/01/02 "
        "03:04:05</LastModifiedTime></Calendar>\n");

    // An outbound document read back by the inbound parse keeps what the host can send back.
    CCalendarEx r;
    ParseCalendarXML(doc.GetXML(), r);
    EXPECT_EQ(*r.FindField(kFieldDescription), "a & b");
    EXPECT_EQ(r.dtStartTime, CDateTime(2009, 3, 7, 14, 5, 0));
}
