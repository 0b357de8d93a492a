// A host that writes back what it read loses nothing: the real agent, nxhost and the MAPI runtime.
// Appointments of every end rule and anchor (added by the agent) and a series of another client
// with deleted and modified occurrences in a zone that is not the machine's are read, every
// document is written back unchanged as an update, and the store is compared item by item through
// mapiadmin dumps (modification times aside) and the next read document by document. Then one
// field of one item is changed and only its properties move.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "calendar/TimeZoneStruct.h"
#include "common/Encoding.h"
#include "common/XMLParser.h"
#include "tests/calendar/BlobBuilder.h"
#include "tests/calendar/ElementRows.h"
#include "tests/e2e/StoreWorld.h"

namespace {

using namespace nx::e2e;
using nx::test::Rows;

const std::string kTokyo = "GMT:-540;DST:0;STD:0000000000000000;DLT:0000000000000000";

// The host's add of one appointment: the common elements, then the case's.
std::string Add(const std::string& subject, const std::string& elements) {
    return "lFlag=8|lCalType=3|CsFolder=Calendar|Priority=2|Location=Room 9|Body=Notes|nRingTone=1|"
           "lReminderMinutes=15|bAlldayEvent=FALSE|TimeZone=" +
           kTokyo + "|Description=" + subject + "|" + elements;
}

std::string Document(const nx::test::Pairs& elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>";
    for (const auto& [name, text] : elements) xml += "\n\t<" + name + ">" + text + "</" + name + ">";
    return xml + "\n</Calendar>\n";
}

// A read document as the host writes it back: the same elements, flagged as an update.
std::string AsUpdate(std::string xml) {
    const auto open = xml.find("<lFlag>");
    if (open != std::string::npos) {
        const auto close = xml.find("</lFlag>", open);
        xml.replace(open, close - open, "<lFlag>4");
    } else {
        xml.insert(xml.find("<Calendar>") + 10, "\n\t<lFlag>4</lFlag>");
    }
    return xml;
}

// The item as mapiadmin dumps it, without what every save moves.
nlohmann::json Dump(StoreWorld& w, const std::string& id) {
    const Result r = w.Run({w.Bin("mapiadmin").string(), "item", "dump", id});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    nlohmann::json item = nlohmann::json::parse(r.out, nullptr, false);
    static const std::set<std::string> kMoved = {"PR_LAST_MODIFICATION_TIME", "PR_CHANGE_KEY",
                                                 "PR_PREDECESSOR_CHANGE_LIST", "PR_MESSAGE_SIZE"};
    auto strip = [&](nlohmann::json& props) {
        if (!props.is_array()) return;
        nlohmann::json kept = nlohmann::json::array();
        for (auto& p : props)
            if (!p.contains("tag") || !kMoved.count(p["tag"].get<std::string>())) kept.push_back(p);
        props = kept;
    };
    for (const char* part : {"properties", "computed"})
        if (item.contains(part)) strip(item[part]);
    if (item.contains("attachments"))
        for (auto& a : item["attachments"])
            if (a.contains("properties")) strip(a["properties"]);
    return item;
}

// The properties that differ between two dumps of an item, by name.
std::set<std::string> Differences(const nlohmann::json& before, const nlohmann::json& after) {
    auto byName = [](const nlohmann::json& item) {
        std::map<std::string, std::string> m;
        if (item.contains("properties"))
            for (const auto& p : item["properties"])
                m[p.contains("tag") ? p["tag"].get<std::string>() : p.value("named", p.dump())] = p.dump();
        return m;
    };
    const auto a = byName(before), b = byName(after);
    std::set<std::string> out;
    for (const auto& [k, v] : a)
        if (!b.count(k) || b.at(k) != v) out.insert(k);
    for (const auto& [k, v] : b)
        if (!a.count(k)) out.insert(k);
    return out;
}

std::string WithoutModificationTime(std::string xml) {
    const auto open = xml.find("<lastModifiedTime>");
    if (open != std::string::npos) xml.erase(open, xml.find("</lastModifiedTime>", open) - open);
    return xml;
}

}  // namespace

TEST(CalendarRoundTripE2E, DocumentsWrittenBackUnchangedLeaveTheStoreAsItWas) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    // A series of another client: weekly, one occurrence deleted and one moved with its own subject,
    // in Tokyo's zone, of high priority.
    std::vector<uint8_t> tokyo;
    NAMESPACE_COMMON::tagNxTimeZone zone;
    zone.Bias = -540;
    NAMESPACE_MAPI::SerializeTimeZoneStruct(zone, &tokyo);
    const std::vector<uint8_t> blob = calendar_test::WeeklyWithExceptions();
    auto hex = [](const std::vector<uint8_t>& b) {
        return NAMESPACE_COMMON::BinaryToHexString(b.data(), static_cast<uint32_t>(b.size()));
    };
    const std::string foreign = w.PutAppointment(
        kCalendar, R"({"tag":"PR_SUBJECT_W","value":"foreign series"},{"tag":"PR_PRIORITY","value":1},)"
                   R"({"tag":"PR_BODY_W","value":"\r\n"},)"
                   R"({"named":"PidLidAppointmentStartWhole","value":"2009-03-04T08:30:00Z"},)"
                   R"({"named":"PidLidAppointmentEndWhole","value":"2009-03-04T09:30:00Z"},)"
                   R"({"named":"PidLidRecurring","value":true},{"named":"PidLidRecurrenceType","value":2},)"
                   R"({"named":"PidLidAppointmentRecur","hex":")" +
                       hex(blob) + R"("},{"named":"PidLidTimeZoneStruct","hex":")" + hex(tokyo) +
                       R"("},{"named":"PidLidTimeZoneDescription","value":"Tokyo"})");

    const std::vector<std::string> adds = {
        Add("single", "dtStartTime=2027/02/01 10:00:00|dtEndTime=2027/02/01 11:00:00"),
        Add("count-ended",
            "dtStartTime=2027/02/01 08:00:00|dtEndTime=2027/02/01 08:30:00|lRecurType=2|"
            "lRecurInterval=1|lRecurWeekMask=42|dtRecurEndDate=NULL|bRecurHasEndDate=FALSE|"
            "lRecurRepeat=5"),
        Add("end-by-date",
            "dtStartTime=2027/02/01 12:00:00|dtEndTime=2027/02/01 13:00:00|lRecurType=1|"
            "lRecurInterval=3|dtRecurEndDate=2027/03/31 00:00:00|bRecurHasEndDate=TRUE|"
            "lRecurRepeat=0"),
        Add("no end",
            "dtStartTime=2027/02/15 09:00:00|dtEndTime=2027/02/15 09:30:00|lRecurType=3|"
            "lRecurInterval=2|lRecurDay=15|dtRecurEndDate=NULL|bRecurHasEndDate=FALSE|lRecurRepeat=0"),
        Add("monthly last friday",
            "dtStartTime=2027/02/26 15:00:00|dtEndTime=2027/02/26 16:00:00|lRecurType=3|"
            "lRecurInterval=3|lRecurInstance=1|lRecurWeekMask=32|lRecurWeekDay=-1|"
            "dtRecurEndDate=NULL|bRecurHasEndDate=FALSE|lRecurRepeat=4"),
        Add("yearly leap day",
            "dtStartTime=2028/02/29 18:00:00|dtEndTime=2028/02/29 19:00:00|lRecurType=4|"
            "lRecurMonth=2|lRecurInterval=1|lRecurDay=29|dtRecurEndDate=NULL|"
            "bRecurHasEndDate=FALSE|lRecurRepeat=0"),
    };
    std::vector<std::string> lines = {"MAPILogOn", "SetCalendarFolder \"\""};
    for (std::size_t i = 0; i < adds.size(); ++i) {
        const fs::path file = w.Root() / ("add-" + std::to_string(i) + ".xml");
        WriteWholeFile(file, Document(Rows(adds[i])));
        lines.push_back("WriteCalendars @" + file.string());
    }
    lines.insert(lines.end(), {"ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"});
    const auto first = w.Read(lines, {}, "calendar");
    ASSERT_EQ(w.ExitCode(), 0) << w.Output();
    ASSERT_EQ(first.size(), adds.size() + 1) << w.Output();

    std::map<std::string, nlohmann::json> before;
    std::vector<std::string> ids;
    for (const Delivered& d : first) {
        ids.push_back(Element(d.xml, "PIMID"));
        before[ids.back()] = Dump(w, ids.back());
    }
    EXPECT_NE(std::find(ids.begin(), ids.end(), foreign), ids.end());

    // Every document back, unchanged, then a read.
    lines = {"MAPILogOn", "SetCalendarFolder \"\""};
    for (std::size_t i = 0; i < first.size(); ++i) {
        const fs::path file = w.Root() / ("back-" + std::to_string(i) + ".xml");
        WriteWholeFile(file, AsUpdate(first[i].xml));
        lines.push_back("WriteCalendars @" + file.string());
    }
    lines.insert(lines.end(), {"ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"});
    const auto second = w.Read(lines, {}, "calendar");
    ASSERT_EQ(w.ExitCode(), 0) << w.Output();
    ASSERT_EQ(second.size(), first.size()) << w.Output();
    for (std::size_t i = 0; i < first.size(); ++i) {
        SCOPED_TRACE(Element(first[i].xml, "Description"));
        EXPECT_EQ(Out(w.Calls()[2 + i], "result"), "0");
        const Delivered* again = ByElement(second, "PIMID", ids[i]);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(WithoutModificationTime(again->xml), WithoutModificationTime(first[i].xml));
        EXPECT_EQ(Differences(before[ids[i]], Dump(w, ids[i])), std::set<std::string>{});
        EXPECT_EQ(Dump(w, ids[i]), before[ids[i]]);
    }

    // The read documents say what the host means: Priority, the zone, the series' ends.
    const Delivered* counted = ByElement(first, "Description", "count-ended");
    ASSERT_NE(counted, nullptr);
    EXPECT_EQ(Element(counted->xml, "Priority"), "2");
    EXPECT_EQ(Element(counted->xml, "TimeZone"), kTokyo);
    EXPECT_EQ(Element(counted->xml, "dtRecurEndDate"), "2027/02/10 00:00:00");  // Mon, Wed, Fri from 02-01
    EXPECT_EQ(Element(counted->xml, "lRecurRepeat"), "5");
    const Delivered* byDate = ByElement(first, "Description", "end-by-date");
    ASSERT_NE(byDate, nullptr);
    EXPECT_EQ(Element(byDate->xml, "lRecurRepeat"), "20");  // every 3 days, 02-01 to 03-31
    const Delivered* foreignDoc = ByElement(first, "PIMID", foreign);
    ASSERT_NE(foreignDoc, nullptr);
    EXPECT_NE(Element(foreignDoc->xml, "ExceptionRule"), "<none>");
    EXPECT_EQ(Element(foreignDoc->xml, "Priority"), "1");

    // One field changed: only its property moves.
    const std::string changedId = Element(counted->xml, "PIMID");
    std::string changed = AsUpdate(counted->xml);
    changed.replace(changed.find("<Description>count-ended"), 24, "<Description>count-ended!");
    std::string moved = AsUpdate(foreignDoc->xml);
    moved.replace(moved.find("<Priority>1<"), 12, "<Priority>0<");
    const fs::path one = w.Root() / "one.xml", two = w.Root() / "two.xml";
    WriteWholeFile(one, changed);
    WriteWholeFile(two, moved);
    const auto beforeChanged = Dump(w, changedId), beforeForeign = Dump(w, foreign);
    w.Read({"MAPILogOn", "SetCalendarFolder \"\"", "WriteCalendars @" + one.string(),
            "WriteCalendars @" + two.string(), "MAPILogOff", "Shutdown"},
           {}, "calendar");
    ASSERT_EQ(w.ExitCode(), 0) << w.Output();
    EXPECT_EQ(Differences(beforeChanged, Dump(w, changedId)), (std::set<std::string>{"PR_SUBJECT_W"}));
    EXPECT_EQ(Differences(beforeForeign, Dump(w, foreign)), (std::set<std::string>{"PR_PRIORITY"}));
}

// A host that deletes one more occurrence of a series with a modified one: the agent writes the
// exceptions, and its own read gives back the host's text.
TEST(CalendarRoundTripE2E, AChangedExceptionRuleIsWrittenAndReadBackAsSent) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::vector<uint8_t> blob = calendar_test::WeeklyWithExceptions();
    const std::string id = w.PutAppointment(
        kCalendar, R"({"tag":"PR_SUBJECT_W","value":"series"},)"
                   R"({"named":"PidLidAppointmentStartWhole","value":"2009-03-04T08:30:00Z"},)"
                   R"({"named":"PidLidAppointmentEndWhole","value":"2009-03-04T09:30:00Z"},)"
                   R"({"named":"PidLidRecurring","value":true},{"named":"PidLidRecurrenceType","value":2},)"
                   R"({"named":"PidLidAppointmentRecur","hex":")" +
                       NAMESPACE_COMMON::BinaryToHexString(blob.data(), static_cast<uint32_t>(blob.size())) +
                       R"("})");
    const std::vector<std::string> read = {"MAPILogOn", "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"};
    const auto first = w.Read(read, {}, "calendar");
    ASSERT_EQ(first.size(), 1u) << w.Output();

    NAMESPACE_COMMON::CXMLParser doc;
    ASSERT_TRUE(doc.Init());
    doc.LoadXML(AsUpdate(first[0].xml));
    const auto rule = doc.SelectNode("/Calendar/ExceptionRule");
    std::string text = NAMESPACE_COMMON::CXMLParser::GetNodeText(rule);
    const auto at = text.find("<modification");
    ASSERT_NE(at, std::string::npos) << text;
    text.insert(at, "<deletion time = \"2009/03/25\"></deletion>\r\n");
    NAMESPACE_COMMON::CXMLParser::SetNodeText(rule, text.c_str());
    const fs::path file = w.Root() / "rule.xml";
    WriteWholeFile(file, doc.GetXML());
    const auto before = Dump(w, id);
    const auto second = w.Read({"MAPILogOn", "SetCalendarFolder \"\"", "WriteCalendars @" + file.string(),
                                "ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"},
                               {}, "calendar");
    ASSERT_EQ(second.size(), 1u) << w.Output();
    EXPECT_EQ(Element(second[0].xml, "ExceptionRule"), Element(doc.GetXML(), "ExceptionRule"));
    EXPECT_NE(Element(second[0].xml, "ExceptionRule"), Element(first[0].xml, "ExceptionRule"));
    // Only the recurrence's properties moved.
    EXPECT_EQ(Differences(before, Dump(w, id)),
              (std::set<std::string>{"PidLidAppointmentRecur", "PR_ICON_INDEX", "PidLidClipEnd"}));
}
