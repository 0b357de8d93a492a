// Calendar reads end to end: the real agent, nxhost and a store built with mapiadmin. Full reads
// of single appointments, all-day items, reminders, series with their exceptions, zones and odd
// items, the same store under two machine zones, the reads every kind shares (ItemReadTests.h)
// and the trace of a scripted full and change read line by line.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "calendar/CalendarEx.h"
#include "calendar/RecurrencePattern.h"
#include "calendar/TimeZoneStruct.h"
#include "common/Encoding.h"
#include "platform/system/Utf.h"
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

// Wednesdays 09:30 to 10:30 from 2009-03-04, ten occurrences, with every kind of exception: the
// 03-11 one deleted, the 03-18 one moved to 11:00 the same day, the 03-25 one moved to 03-26
// 14:00, the 04-01 one given its own subject, location, reminder and all-day flag. As the store
// keeps them, the deleted dates are the original ones and the modified dates the new ones.
std::vector<uint8_t> WeeklyWithEveryKindOfException() {
    constexpr uint32_t kDay = 1440;
    const uint32_t d0325 = k20090318 + 7 * kDay, d0326 = d0325 + kDay, d0401 = d0325 + 7 * kDay;
    Blob b = Blob().append(Head(0x200B, 1, 0, 1)).u32(1 << 3).append(EndRule(0x2023, 10));
    b.u32s({4, k20090311, k20090318, d0325, d0401}).u32s({3, k20090318, d0326, d0401});
    b.append(Dates(k20090304, kNoEnd, 570, 630)).u16(3);
    // ExceptionInfo: start, end, original start, override flags and the overrides they name.
    b.u32s({k20090318 + 660, k20090318 + 720, k20090318 + 570}).u16(0);
    b.u32s({d0326 + 840, d0326 + 900, d0325 + 570}).u16(0);
    // Subject, reminder delta, reminder set, location, all day.
    b.u32s({d0401 + 570, d0401 + 630, d0401 + 570}).u16(0x009D).u16(9).u16(8).raw("Review ?");
    b.u32(10).u32(0).u16(7).u16(6).raw("Room 7").u32(1);
    b.u32(0);  // ReservedBlock1Size
    // ExtendedException: the wide texts of the one with a subject and a location.
    b.u32(0).u32(0).u32s({0, d0401 + 570, d0401 + 630, d0401 + 570}).wide(u"Review \u00FC").wide(u"Room 7");
    return b.u32(0).u32(0).bytes;  // ReservedBlockEE2Size, ReservedBlock2Size
}

// The bytes of base64 text.
std::string FromBase64(const std::string& text) {
    static const std::string kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    uint32_t bits = 0;
    int count = 0;
    for (char c : text) {
        const auto at = kDigits.find(c);
        if (at == std::string::npos) continue;  // padding
        bits = bits << 6 | static_cast<uint32_t>(at);
        if ((count += 6) >= 8) bytes += static_cast<char>(bits >> (count -= 8) & 0xFF);
    }
    return bytes;
}

// The exceptions text as the host reads it: the date of each deletion, and of each modification
// its date ("time") and its elements, the subject and location decoded to text.
struct Exceptions {
    std::vector<std::string> deletions;
    std::vector<std::map<std::string, std::string>> modifications;
};
Exceptions ReadExceptions(const std::string& escaped) {
    std::string text;  // the element's text with the document's character references resolved
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const std::size_t semicolon = escaped.find(';', i);
        const std::string entity = escaped[i] == '&' && semicolon != std::string::npos
                                       ? escaped.substr(i + 1, semicolon - i - 1)
                                       : "";
        const std::map<std::string, char> named = {{"lt", '<'}, {"gt", '>'}, {"amp", '&'}, {"quot", '"'}};
        if (named.count(entity)) {
            text += named.at(entity);
        } else if (entity.size() > 1 && entity[0] == '#') {
            text += static_cast<char>(std::stoi(entity.substr(1)));
        } else {
            text += escaped[i];
            continue;
        }
        i = semicolon;
    }
    Exceptions out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const auto quoted = [&] {
            return line.substr(line.find('"') + 1, line.rfind('"') - line.find('"') - 1);
        };
        if (line.rfind("<deletion time = ", 0) == 0) {
            out.deletions.push_back(quoted());
        } else if (line.rfind("<modification time = ", 0) == 0) {
            out.modifications.push_back({{"time", quoted()}});
        } else if (line.rfind("\t<", 0) == 0 && !out.modifications.empty()) {
            const std::string name = line.substr(2, line.find('>') - 2);
            std::string value = line.substr(line.find('>') + 1, line.rfind("</") - line.find('>') - 1);
            if (name == "subject" || name == "location") {
                const std::string units = FromBase64(value);
                std::u16string wide;
                for (std::size_t k = 0; k + 1 < units.size(); k += 2)
                    wide += static_cast<char16_t>(static_cast<uint8_t>(units[k]) |
                                                  static_cast<uint8_t>(units[k + 1]) << 8);
                value = nx::sys::Utf16ToUtf8(wide);
            }
            out.modifications.back()[name] = value;
        }
    }
    return out;
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

// The exceptions text of a stored series read through the agent, field by field: a change there
// shows as the one field of the one occurrence it breaks.
TEST(CalendarE2E, EachFieldOfTheExceptionsTextOfMovedDeletedAndModifiedOccurrences) {
    NX_REQUIRE_WORLD();
    CalendarWorld w;
    w.PutAppointment(kCalendar,
                     Subject("series") + "," + Times("2009-03-04T08:30:00Z", "2009-03-04T09:30:00Z") + "," +
                         Named("PidLidLocation", "\"Room 1\"") + "," + Named("PidLidReminderSet", "true") +
                         "," + Named("PidLidReminderDelta", "15") + "," +
                         Recurring(2, WeeklyWithEveryKindOfException()));
    const auto docs = w.ReadCalendar();
    ASSERT_EQ(docs.size(), 1u) << w.Output();
    const Exceptions read = ReadExceptions(Element(docs[0].xml, "ExceptionRule"));
    // 03-18 and 04-01 are modifications only; 03-25 moved to another day, so it is deleted there.
    EXPECT_EQ(read.deletions, (std::vector<std::string>{"2009/03/11", "2009/03/25"})) << docs[0].xml;
    const std::map<std::string, std::string> series = {{"subject", "series"},
                                                       {"location", "Room 1"},
                                                       {"reminderset", "1"},
                                                       {"reminderdelta", "15"},
                                                       {"allday", "0"}};
    const auto with = [&](std::map<std::string, std::string> fields) {
        fields.insert(series.begin(), series.end());  // the series' value where the occurrence has none
        return fields;
    };
    const std::vector<std::map<std::string, std::string>> expected = {
        with({{"time", "2009/03/18"}, {"start", "2009/03/18 11:00:00"}, {"end", "2009/03/18 12:00:00"}}),
        with({{"time", "2009/03/26"}, {"start", "2009/03/26 14:00:00"}, {"end", "2009/03/26 15:00:00"}}),
        {{"time", "2009/04/01"},
         {"subject", "Review \xC3\xBC"},
         {"location", "Room 7"},
         {"start", "2009/04/01 09:30:00"},
         {"end", "2009/04/01 10:30:00"},
         {"reminderset", "0"},
         {"reminderdelta", "10"},
         {"allday", "1"}},
    };
    ASSERT_EQ(read.modifications.size(), expected.size()) << docs[0].xml;
    for (std::size_t i = 0; i < expected.size(); ++i)
        for (const auto& [field, value] : expected[i]) {
            const auto it = read.modifications[i].find(field);
            EXPECT_EQ(it == read.modifications[i].end() ? "<none>" : it->second, value)
                << expected[i].at("time") << " " << field;
        }
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
