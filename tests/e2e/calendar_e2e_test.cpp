// Calendar reads end to end: the real agent, nxhost and a store built with mapiadmin. Full reads
// of single appointments, all-day items, reminders, series with their exceptions, zones and odd
// items, the same store under two machine zones, the reads every kind shares (ItemReadTests.h)
// and the trace of a scripted full and change read line by line.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "calendar/CalendarEx.h"
#include "calendar/RecurrencePattern.h"
#include "calendar/TimeZoneStruct.h"
#include "common/Encoding.h"
#include "tests/calendar/BlobBuilder.h"
#include "tests/e2e/ItemReadTests.h"
#include "tests/support/GoldenTrace.h"

namespace {

using nx::e2e::Delivered;
using nx::e2e::Element;
using nx::e2e::ItemKind;
using nx::e2e::ItemReadE2E;
using nx::e2e::StoreWorld;
using namespace calendar_test;

using nx::e2e::kCalendar;

const std::vector<std::string> kFullRead = {"MAPILogOn", "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"};

std::string Hex(const std::vector<uint8_t>& bytes) {
    return NAMESPACE_COMMON::BinaryToHexString(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

std::string Subject(const std::string& s) {
    return R"({"tag":"PR_SUBJECT_W","value":")" + s + R"("})";
}
std::string Named(const std::string& name, const std::string& jsonValue) {
    return R"({"named":")" + name + R"(","value":)" + jsonValue + "}";
}
std::string NamedHex(const std::string& name, const std::vector<uint8_t>& bytes) {
    return R"({"named":")" + name + R"(","hex":")" + Hex(bytes) + R"("})";
}
std::string Times(const std::string& start, const std::string& end) {
    return Named("PidLidAppointmentStartWhole", "\"" + start + "\"") + "," +
           Named("PidLidAppointmentEndWhole", "\"" + end + "\"");
}

// The Central European rule: UTC+1, summer time from the last Sunday of March 02:00 to the last
// Sunday of October 03:00.
NAMESPACE_COMMON::tagNxTimeZone CentralEurope() {
    NAMESPACE_COMMON::tagNxTimeZone z;
    z.Bias = -60;
    z.DaylightBias = -60;
    z.StandardDate = {0, 10, 0, 5, 3, 0, 0, 0};
    z.DaylightDate = {0, 3, 0, 5, 2, 0, 0, 0};
    return z;
}
// Tokyo: UTC+9 without summer time.
NAMESPACE_COMMON::tagNxTimeZone Tokyo() {
    NAMESPACE_COMMON::tagNxTimeZone z;
    z.Bias = -540;
    return z;
}
std::vector<uint8_t> ZoneStruct(const NAMESPACE_COMMON::tagNxTimeZone& zone) {
    std::vector<uint8_t> bytes;
    NAMESPACE_MAPI::SerializeTimeZoneStruct(zone, &bytes);
    return bytes;
}

// The stored pattern of a series described by the host's elements.
std::vector<uint8_t> Series(int type, int interval, int weekMask, int instance, int weekDay, int day,
                            int month, const char* start) {
    NAMESPACE_MAPI::CCalendarEx r;
    r.lRecurType = type;
    r.lRecurInterval = interval;
    r.lRecurWeekMask = weekMask;
    r.lRecurInstance = instance;
    r.lRecurWeekDay = weekDay;
    r.lRecurDay = day;
    r.lRecurMonth = month;
    r.lRecurRepeat = 5;
    r.dtStartTime = NAMESPACE_MAPI::ParseDocumentDate(start);
    r.dtEndTime = r.dtStartTime.AddDays(1.0 / 24);
    r.dtRecurEndDate = NAMESPACE_MAPI::ParseDocumentDate("2010/12/31 00:00:00");
    r.bRecurHasEndDate = 1;
    NAMESPACE_MAPI::tagRecurrencePattern p;
    NAMESPACE_MAPI::BuildRecurrencePattern(p, r);
    std::vector<uint8_t> bytes;
    NAMESPACE_MAPI::SerializeRecurrencePattern(p, &bytes);
    return bytes;
}
std::string Recurring(int type, const std::vector<uint8_t>& blob) {
    return Named("PidLidRecurring", "true") + "," + Named("PidLidRecurrenceType", std::to_string(type)) +
           "," + NamedHex("PidLidAppointmentRecur", blob);
}

class CalendarWorld : public StoreWorld {
public:
    using StoreWorld::StoreWorld;
    std::vector<Delivered> ReadCalendar(const std::vector<std::string>& lines = kFullRead,
                                        std::vector<std::string> extra = {}) {
        return Read(lines, std::move(extra), "calendar");
    }
};

}  // namespace

TEST(CalendarE2E, ASingleAppointmentMatchesTheGoldenDocument) {
    NX_REQUIRE_WORLD();
    CalendarWorld w;
    const std::string id = w.PutAppointment(
        kCalendar,
        Subject("Design review <b> & co") + "," +
            R"({"tag":"PR_BODY_W","value":"Agenda\r\n1. numbers"},{"tag":"PR_PRIORITY","value":2},)"
            R"({"tag":"PR_CREATION_TIME","value":"2026-03-01T08:00:00Z"},)"
            R"({"tag":"PR_LAST_MODIFICATION_TIME","value":"2026-07-01T12:00:00Z"},)" +
            Named("PidLidLocation", "\"Room 4\"") + "," +
            Times("2026-07-14T07:30:00Z", "2026-07-14T09:00:00Z") + "," + Named("PidLidReminderSet", "true") +
            "," + Named("PidLidReminderDelta", "15") + "," + Named("PidLidReminderOverride", "true") + "," +
            Named("PidLidReminderPlaySound", "true") + "," +
            NamedHex("PidLidTimeZoneStruct", ZoneStruct(CentralEurope())));
    const auto docs = w.ReadCalendar();
    ASSERT_EQ(docs.size(), 1u) << w.Output();
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    nx::e2e::ExpectMatchesGoldenDocument(StoreWorld::ReplaceIds(docs[0].xml, {{id, "@PIMID@"}}),
                                         "single-appointment.xml");
}

// One appointment per case, all read in one session; each document's elements against the case's.
TEST(CalendarE2E, ElementsOfEachKindOfAppointment) {
    NX_REQUIRE_WORLD();
    CalendarWorld w;
    const std::string hour = Times("2026-01-12T10:00:00Z", "2026-01-12T11:00:00Z");
    struct Case {
        const char* subject;
        std::string properties;
        std::map<std::string, std::string> expected;  // "<none>": the element is absent
    };
    const std::vector<Case> cases = {
        {"all day",
         Times("2026-01-11T23:00:00Z", "2026-01-12T23:00:00Z") + "," +
             Named("PidLidAppointmentSubType", "true"),
         {{"bAlldayEvent", "TRUE"},
          {"dtStartTime", "2026/01/12 00:00:00"},
          {"dtEndTime", "2026/01/13 00:00:00"}}},
        {"flags another writer stored as 2 and 0xFFFF",
         Times("2026-01-11T23:00:00Z", "2026-01-12T23:00:00Z") + "," +
             Named("PidLidAppointmentSubType", "2") + "," + Named("PidLidReminderSet", "65535") + "," +
             Named("PidLidReminderDelta", "20"),
         {{"bAlldayEvent", "TRUE"}, {"lReminderMinutes", "20"}}},
        {"no reminder",
         hour,
         {{"bAlldayEvent", "FALSE"},
          {"lReminderMinutes", "-1"},
          {"nRingTone", "0"},
          {"RecurType", "0"},
          {"lRecurType", "<none>"},
          {"Body", ""},
          {"Location", ""},
          {"lCalType", "3"}}},
        {"reminder off",
         hour + "," + Named("PidLidReminderSet", "false") + "," + Named("PidLidReminderDelta", "30"),
         {{"lReminderMinutes", "-1"}, {"nRingTone", "0"}}},
        {"reminder without override",
         hour + "," + Named("PidLidReminderSet", "true") + "," + Named("PidLidReminderDelta", "5") + "," +
             Named("PidLidReminderPlaySound", "false"),
         {{"lReminderMinutes", "5"}, {"nRingTone", "1"}}},
        {"silent reminder",
         hour + "," + Named("PidLidReminderSet", "true") + "," + Named("PidLidReminderDelta", "60") + "," +
             Named("PidLidReminderOverride", "true"),
         {{"lReminderMinutes", "60"}, {"nRingTone", "0"}}},
        {"no times", "", {{"dtStartTime", "1899/12/30 00:00:00"}, {"dtEndTime", "1899/12/30 00:00:00"}}},
        {"own zone",
         hour + "," + NamedHex("PidLidTimeZoneStruct", ZoneStruct(Tokyo())),
         {{"TimeZone", NAMESPACE_COMMON::FormatTimeZone(Tokyo())}, {"dtStartTime", "2026/01/12 11:00:00"}}},
        {"machine zone", hour, {{"TimeZone", NAMESPACE_COMMON::FormatTimeZone(CentralEurope())}}},
        {"daily",
         hour + "," + Recurring(1, Series(1, 2, 0, 0, 0, 0, 0, "2009/03/02 09:30:00")),
         {{"lRecurType", "1"},
          {"RecurType", "<none>"},
          {"lRecurInterval", "2"},
          {"ExceptionRule", "<none>"}}},
        {"weekly",
         hour + "," + Recurring(2, Series(2, 1, 0x2A, 0, 0, 0, 0, "2009/03/02 09:30:00")),
         {{"lRecurType", "2"}, {"lRecurWeekMask", "42"}, {"lRecurInterval", "1"}}},
        {"monthly nth",
         hour + "," + Recurring(3, Series(3, 1, 0x04, 2, 2, 0, 0, "2009/03/10 09:30:00")),
         {{"lRecurType", "3"}, {"lRecurWeekDay", "2"}}},
        {"yearly",
         hour + "," + Recurring(4, Series(4, 1, 0, 0, 0, 26, 11, "2009/11/26 09:30:00")),
         {{"lRecurType", "4"}, {"lRecurDay", "26"}, {"lRecurMonth", "11"}}},
        {"series with exceptions",
         hour + "," + Recurring(2, WeeklyWithExceptions()),
         {{"lRecurType", "2"}, {"lRecurWeekMask", "8"}}},
        {"recurring flag without a type",
         hour + "," + Named("PidLidRecurring", "true"),
         {{"lRecurType", "0"}, {"RecurType", "<none>"}}},
    };
    for (const Case& c : cases)
        w.PutAppointment(kCalendar, Subject(c.subject) + (c.properties.empty() ? "" : ",") + c.properties);
    // Held back or not read at all: a series on another calendar, a meeting request.
    w.PutAppointment(kCalendar, Subject("hijri") + "," + hour + "," + Recurring(2, WeeklyWithExceptions(6)));
    w.PutAppointment(kCalendar, Subject("request") + "," + hour, "IPM.Schedule.Meeting.Request");

    const auto docs = w.ReadCalendar(
        {"MAPILogOn", "GetCalendarCount", "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"});
    EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
    EXPECT_EQ(docs.size(), cases.size()) << w.Output();
    for (const Case& c : cases) {
        const Delivered* d = nx::e2e::ByElement(docs, "Description", c.subject);
        ASSERT_NE(d, nullptr) << c.subject;
        for (const auto& [element, value] : c.expected)
            EXPECT_EQ(Element(d->xml, element), value) << c.subject << ": " << element;
    }
    EXPECT_EQ(nx::e2e::ByElement(docs, "Description", "hijri"), nullptr);
    EXPECT_EQ(nx::e2e::ByElement(docs, "Description", "request"), nullptr);
    const Delivered* series = nx::e2e::ByElement(docs, "Description", "series with exceptions");
    ASSERT_NE(series, nullptr);
    EXPECT_NE(Element(series->xml, "ExceptionRule").find("2009/03/11"), std::string::npos) << series->xml;
    EXPECT_NE(Element(series->xml, "ExceptionRule").find("2009/03/18"), std::string::npos) << series->xml;
}

// The same store under two machine zones: the local times move by the zones' offsets at each
// instant (summer and winter differ), the zone text stays the item's own.
TEST(CalendarE2E, LocalTimesFollowTheMachineZoneAndTheZoneTextTheItem) {
    NX_REQUIRE_WORLD();
    CalendarWorld w;
    const std::string zone = NamedHex("PidLidTimeZoneStruct", ZoneStruct(CentralEurope()));
    w.PutAppointment(kCalendar, Subject("winter") + "," +
                                    Times("2026-01-12T10:00:00Z", "2026-03-29T00:30:00Z") + "," + zone);
    w.PutAppointment(kCalendar, Subject("summer") + "," +
                                    Times("2026-07-12T10:00:00Z", "2026-10-25T00:30:00Z") + "," + zone);
    std::map<std::string, std::vector<std::string>>
        seen;  // subject -> start, end, zone text per machine zone
    for (const char* tz : {"Europe/Berlin", "America/New_York"}) {
        w.SetEnv("TZ", tz);
        for (const auto& d : w.ReadCalendar()) {
            auto& s = seen[Element(d.xml, "Description")];
            s.insert(s.end(), {Element(d.xml, "dtStartTime"), Element(d.xml, "dtEndTime"),
                               Element(d.xml, "TimeZone")});
        }
    }
    w.SetEnv("TZ", "Europe/Berlin");
    const std::string text = NAMESPACE_COMMON::FormatTimeZone(CentralEurope());
    // Berlin +1 / +2 (from 2026-03-29 01:00 UTC, until 2026-10-25 01:00 UTC); New York -5 / -4
    // (from 2026-03-08, until 2026-11-01).
    EXPECT_EQ(seen["winter"], (std::vector<std::string>{"2026/01/12 11:00:00", "2026/03/29 01:30:00", text,
                                                        "2026/01/12 05:00:00", "2026/03/28 20:30:00", text}));
    EXPECT_EQ(seen["summer"], (std::vector<std::string>{"2026/07/12 12:00:00", "2026/10/25 02:30:00", text,
                                                        "2026/07/12 06:00:00", "2026/10/24 20:30:00", text}));
}

// The properties of a one-hour appointment named `subject`.
std::string Meeting(const std::string& subject) {
    return Subject(subject) + "," + Times("2026-02-02T09:00:00Z", "2026-02-02T10:00:00Z");
}

INSTANTIATE_TEST_SUITE_P(
    Calendar, ItemReadE2E,
    ::testing::Values(ItemKind{
        "ReadCalendars",
        "GetCalendarCount",
        "calendar",
        "Description",
        "CMAPIObject::ReadCalendarEvent",
        kCalendar,
        "Calendar",
        "IPF.Appointment",
        "IPM.Appointment",
        "IPM.Schedule.Meeting.Request",
        [](StoreWorld& w, const std::string& folder, const std::string& name, const std::string& cls) {
            return w.PutAppointment(folder, Meeting(name), cls);
        },
        R"({"properties":[{"named":"PidLidLocation","value":"Room 9"}]})",
        "Location",
        "Room 9",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<lFlag>32</lFlag>\n\t<PIMID>",
        "</PIMID>\n\t<lCalType>3</lCalType>\n\t",
        {{"CsFolder", "Calendar"}, {"lCalType", "3"}}}));

TEST(CalendarE2E, ScriptedChangeReadTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::string review = w.PutAppointment(kCalendar, Meeting("review"));
    w.RunScript("calendar-change-read");
    nx::e2e::ExpectTraceMatchesGolden(w.NamedTrace({{review, "{review}"}}), "calendar-change-read");
}
