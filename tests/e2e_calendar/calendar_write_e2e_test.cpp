// Calendar writes end to end: the real agent, nxhost and the MAPI runtime, one world and one agent
// run. The host writes a single appointment, an all-day one and a series of every kind, reads the
// calendar back (every element it sent returns, as the read side reports it; the identifier it got
// is the PIMID read; the time text is lastModifiedTime), checks each stored recurrence blob with
// an independent expander against libical's expansion of the series' RRULE; items updated or
// deleted right after their add come back changed or not at all. A scripted add / update / refused add /
// delete session is compared line by line with its golden trace.
#include <gtest/gtest.h>

#include "common/Encoding.h"
#include "tests/calendar/RecurrenceExpander.h"
#include "tests/e2e_calendar/GoldenTrace.h"

namespace {

using namespace nx::e2e;
using Elements = std::vector<std::pair<std::string, std::string>>;

struct WriteCase {
    const char* name;   // the Description, which finds the item in the read
    Elements sent;      // besides lFlag, lCalType, Description and the common elements
    Elements back;      // elements read back with another text than sent (or only read)
    const char* rrule;  // the series as the host means it ("" for a single item)
    nx::test::Civil start;
};

// What every written document carries.
Elements Common(const char* name) {
    return {{"CsFolder", "Calendar"},
            {"Priority", "1"},
            {"Description", name},
            {"Location", "Room 1"},
            {"Body", "Plan &lt;&amp;&gt; \xC3\xBC"},
            {"nRingTone", "0"},
            {"lReminderMinutes", "10"},
            {"bAlldayEvent", "FALSE"}};
}

// Read back unchanged unless listed in `back`; Priority is carried, never stored (a new item
// gets priority 0).
const Elements kSingleBack = {{"RecurType", "0"}, {"Priority", "0"}};

std::vector<WriteCase> Cases() {
    const Elements noEnd = {{"dtRecurEndDate", "NULL"}, {"bRecurHasEndDate", "FALSE"}, {"lRecurRepeat", "0"}};
    auto with = [](Elements a, const Elements& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    // An end-by-date series reads back its occurrence count 1, one without end 10, and one that
    // ends after n occurrences as ending on its first day.
    const Elements byDateBack = {{"Priority", "0"}, {"lRecurRepeat", "1"}};
    const Elements neverBack = {{"Priority", "0"}, {"lRecurRepeat", "10"}};
    auto countBack = [](const char* firstDay) {
        return Elements{{"Priority", "0"},
                        {"dtRecurEndDate", std::string(firstDay) + " 00:00:00"},
                        {"bRecurHasEndDate", "TRUE"}};
    };
    return {
        {"single",
         {{"dtStartTime", "2027/02/01 10:00:00"}, {"dtEndTime", "2027/02/01 11:00:00"}},
         kSingleBack,
         "",
         {}},
        {"all-day",
         {{"bAlldayEvent", "TRUE"},
          {"dtStartTime", "2027/02/03 10:00:00"},
          {"dtEndTime", "2027/02/05 09:00:00"},
          {"lReminderMinutes", "-1"}},
         with(kSingleBack, {{"dtStartTime", "2027/02/03 00:00:00"}, {"dtEndTime", "2027/02/05 00:00:00"}}),
         "",
         {}},
        {"daily every 2 days",
         {{"dtStartTime", "2027/02/01 08:00:00"},
          {"dtEndTime", "2027/02/01 08:30:00"},
          {"lRecurType", "1"},
          {"lRecurInterval", "2"},
          {"lRecurInstance", "0"},
          {"lRecurWeekMask", "0"},
          {"lRecurWeekDay", "0"},
          {"lRecurDay", "0"},
          {"dtRecurEndDate", "2027/02/28 00:00:00"},
          {"bRecurHasEndDate", "TRUE"},
          {"lRecurRepeat", "0"}},
         byDateBack,
         "FREQ=DAILY;INTERVAL=2;UNTIL=20270228T235959",
         {2027, 2, 1}},
        {"every weekday",
         {{"dtStartTime", "2027/02/01 07:30:00"},
          {"dtEndTime", "2027/02/01 07:45:00"},
          {"lRecurType", "2"},
          {"lRecurInterval", "0"},
          {"lRecurInstance", "0"},
          {"lRecurWeekMask", "62"},
          {"lRecurWeekDay", "0"},
          {"lRecurDay", "0"},
          {"dtRecurEndDate", "NULL"},
          {"bRecurHasEndDate", "FALSE"},
          {"lRecurRepeat", "10"}},
         countBack("2027/02/01"),
         "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR;COUNT=10",
         {2027, 2, 1}},
        {"weekly with mask",
         with({{"dtStartTime", "2027/02/01 12:00:00"},
               {"dtEndTime", "2027/02/01 13:00:00"},
               {"lRecurType", "2"},
               {"lRecurInterval", "2"},
               {"lRecurInstance", "0"},
               {"lRecurWeekMask", "42"},
               {"lRecurWeekDay", "0"},
               {"lRecurDay", "0"}},
              noEnd),
         neverBack,
         "FREQ=WEEKLY;WKST=SU;INTERVAL=2;BYDAY=MO,WE,FR",
         {2027, 2, 1}},
        {"monthly nth",
         {{"dtStartTime", "2027/02/09 16:00:00"},
          {"dtEndTime", "2027/02/09 17:00:00"},
          {"lRecurType", "3"},
          {"lRecurInterval", "1"},
          {"lRecurInstance", "1"},
          {"lRecurWeekMask", "4"},
          {"lRecurWeekDay", "2"},
          {"lRecurDay", "0"},
          {"dtRecurEndDate", "2027/12/31 00:00:00"},
          {"bRecurHasEndDate", "TRUE"},
          {"lRecurRepeat", "0"}},
         byDateBack,
         "FREQ=MONTHLY;BYDAY=TU;BYSETPOS=2;UNTIL=20271231T235959",
         {2027, 2, 9}},
        {"monthly last friday",
         {{"dtStartTime", "2027/02/26 15:00:00"},
          {"dtEndTime", "2027/02/26 15:30:00"},
          {"lRecurType", "3"},
          {"lRecurInterval", "1"},
          {"lRecurInstance", "1"},
          {"lRecurWeekMask", "32"},
          {"lRecurWeekDay", "-1"},
          {"lRecurDay", "0"},
          {"dtRecurEndDate", "NULL"},
          {"bRecurHasEndDate", "FALSE"},
          {"lRecurRepeat", "6"}},
         countBack("2027/02/26"),
         "FREQ=MONTHLY;BYDAY=FR;BYSETPOS=-1;COUNT=6",
         {2027, 2, 26}},
        {"monthly on a day",
         with({{"dtStartTime", "2027/02/15 09:00:00"},
               {"dtEndTime", "2027/02/15 09:30:00"},
               {"lRecurType", "3"},
               {"lRecurInterval", "2"},
               {"lRecurInstance", "0"},
               {"lRecurWeekMask", "0"},
               {"lRecurWeekDay", "0"},
               {"lRecurDay", "15"}},
              noEnd),
         neverBack,
         "FREQ=MONTHLY;INTERVAL=2;BYMONTHDAY=15",
         {2027, 2, 15}},
        {"yearly with end date",
         {{"dtStartTime", "2027/03/07 18:00:00"},
          {"dtEndTime", "2027/03/07 20:00:00"},
          {"lRecurType", "4"},
          {"lRecurMonth", "3"},
          {"lRecurInterval", "1"},
          {"lRecurInstance", "0"},
          {"lRecurWeekMask", "0"},
          {"lRecurWeekDay", "0"},
          {"lRecurDay", "7"},
          {"dtRecurEndDate", "2035/03/07 00:00:00"},
          {"bRecurHasEndDate", "TRUE"},
          {"lRecurRepeat", "0"}},
         byDateBack,
         "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=7;UNTIL=20350307T235959",
         {2027, 3, 7}},
        {"yearly with count",
         {{"dtStartTime", "2027/11/25 12:00:00"},
          {"dtEndTime", "2027/11/25 15:00:00"},
          {"lRecurType", "4"},
          {"lRecurMonth", "11"},
          {"lRecurInterval", "1"},
          {"lRecurInstance", "1"},
          {"lRecurWeekMask", "16"},
          {"lRecurWeekDay", "4"},
          {"lRecurDay", "0"},
          {"dtRecurEndDate", "NULL"},
          {"bRecurHasEndDate", "FALSE"},
          {"lRecurRepeat", "5"}},
         countBack("2027/11/25"),
         "FREQ=YEARLY;BYMONTH=11;BYDAY=TH;BYSETPOS=4;COUNT=5",
         {2027, 11, 25}},
        {"yearly without end",
         with({{"dtStartTime", "2027/12/31 22:00:00"},
               {"dtEndTime", "2027/12/31 23:00:00"},
               {"lRecurType", "4"},
               {"lRecurMonth", "12"},
               {"lRecurInterval", "1"},
               {"lRecurInstance", "0"},
               {"lRecurWeekMask", "0"},
               {"lRecurWeekDay", "0"},
               {"lRecurDay", "31"}},
              noEnd),
         neverBack,
         "FREQ=YEARLY;BYMONTH=12;BYMONTHDAY=31",
         {2027, 12, 31}},
    };
}

std::string Document(const Elements& elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>";
    for (const auto& [name, text] : elements) xml += "\n\t<" + name + ">" + text + "</" + name + ">";
    return xml + "\n</Calendar>\n";
}

// The value nxhost printed for an [out] text, without its quotes.
std::string Unquoted(const Call& call, const char* name) {
    const auto it = call.outs.find(name);
    if (it == call.outs.end() || it->second.size() < 2) return "<none>";
    return it->second.substr(1, it->second.size() - 2);
}

const Delivered* ByDescription(const std::vector<Delivered>& docs, const std::string& name) {
    for (const auto& d : docs)
        if (Element(d.xml, "Description") == name) return &d;
    return nullptr;
}

// The stored recurrence blob of an item, as mapiadmin dumps it.
std::vector<uint8_t> StoredRecurrence(ContactsWorld& w, const std::string& id) {
    const Result r = w.Run({w.Bin("mapiadmin").string(), "item", "dump", id});
    const std::string key = "\"named\": \"PidLidAppointmentRecur\",";
    const auto at = r.out.find(key);
    if (at == std::string::npos) return {};
    const auto open = r.out.find("\"value\": \"", at);
    const auto close = r.out.find('"', open + 10);
    return NAMESPACE_COMMON::HexStringToBinary(r.out.substr(open + 10, close - open - 10));
}

// The stored pattern of an item expands to the days libical gives for the RRULE; an item without
// a series ("" for the rule) has no pattern.
void ExpectStoredSeries(ContactsWorld& w, const std::string& id, const char* rrule,
                        const nx::test::Civil& start) {
    SCOPED_TRACE(rrule);
    const std::vector<uint8_t> blob = StoredRecurrence(w, id);
    if (*rrule == '\0') {
        EXPECT_TRUE(blob.empty());
        return;
    }
    NAMESPACE_MAPI::tagRecurrencePattern stored;
    ASSERT_EQ(NAMESPACE_MAPI::ParseRecurrencePattern(blob.data(), blob.size(), stored), blob.size());
    constexpr std::size_t kLimit = 40;
    const auto ours = nx::test::Expand(stored, kLimit);
    EXPECT_EQ(ours, nx::test::ExpandWithLibical(rrule, start, kLimit));
    ASSERT_FALSE(ours.empty());
    EXPECT_EQ(ours.front(), nx::test::DaysFromCivil(start.y, start.m, start.d));
}

TEST(CalendarWriteE2E, EverySeriesKindRoundTripsAndItsStoredPatternMeansTheHostsSeries) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    const auto cases = Cases();
    std::vector<Elements> writes;
    for (const auto& c : cases) {
        Elements doc = {{"lFlag", "8"}, {"lCalType", "3"}};
        for (const auto& e : Common(c.name)) {
            bool replaced = false;
            for (const auto& s : c.sent) replaced |= s.first == e.first;
            if (!replaced) doc.push_back(e);
        }
        doc.insert(doc.end(), c.sent.begin(), c.sent.end());
        writes.push_back(doc);
    }
    // Three more items, each changed by the write right after its add ({identifier}: what the last
    // write answered): a weekly series made single, a single item made a daily series, an all-day
    // item deleted.
    auto doc = [](Elements head, const Elements& tail) {
        head.insert(head.end(),
                    {{"dtStartTime", "2027/02/01 12:00:00"}, {"dtEndTime", "2027/02/01 13:00:00"}});
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    const Elements added = {{"lFlag", "8"}, {"lCalType", "3"}};
    const Elements updated = {{"lFlag", "4"}, {"lCalType", "3"}, {"PIMID", "{identifier}"}};
    writes.push_back(doc(added, {{"Description", "made single"},
                                 {"Location", "Room 2"},
                                 {"lRecurType", "2"},
                                 {"lRecurInterval", "1"},
                                 {"lRecurWeekMask", "2"}}));
    writes.push_back(doc(updated, {{"Description", "made single"}, {"lRecurType", "0"}}));
    writes.push_back(doc(added, {{"Description", "made daily"}}));
    writes.push_back(doc(updated, {{"Description", "made daily"},
                                   {"lRecurType", "1"},
                                   {"lRecurInterval", "1"},
                                   {"lRecurRepeat", "3"}}));
    writes.push_back(doc(added, {{"Description", "deleted"}, {"bAlldayEvent", "TRUE"}}));
    writes.push_back({{"lFlag", "32"}, {"PIMID", "{identifier}"}});

    std::vector<std::string> lines = {"MAPILogOn", "SetCalendarFolder \"\""};
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const fs::path file = w.Root() / ("write-" + std::to_string(i) + ".xml");
        WriteFile(file, Document(writes[i]));
        lines.push_back("WriteCalendars @" + file.string());
    }
    lines.insert(lines.end(), {"ReadCalendars \"\" \"\"", "MAPILogOff", "Shutdown"});

    const auto docs = w.Read(lines, {}, "calendar");
    ASSERT_EQ(w.ExitCode(), 0) << w.Output();
    const auto& calls = w.Calls();
    ASSERT_EQ(calls.size(), lines.size()) << w.Output();
    ASSERT_EQ(docs.size(), cases.size() + 2) << w.Output();
    std::vector<std::string> ids;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(calls[2 + i].outs.at("result"), "0") << i;
        ids.push_back(Unquoted(calls[2 + i], "identifier"));
    }

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const Delivered* doc = ByDescription(docs, c.name);
        ASSERT_NE(doc, nullptr) << w.Output();
        EXPECT_EQ(ids[i], Element(doc->xml, "PIMID"));
        EXPECT_EQ(Unquoted(calls[2 + i], "time"), Element(doc->xml, "lastModifiedTime"));
        // Every element sent, with the texts the read side gives back where they differ.
        const Elements common = Common(c.name);
        std::map<std::string, std::string> expected;
        for (const Elements* list : {&common, &c.sent, &c.back})
            for (const auto& [name, text] : *list) expected[name] = text;
        for (const auto& [name, text] : expected) EXPECT_EQ(Element(doc->xml, name), text) << name;
        // The blob the agent stored means the host's series.
        ExpectStoredSeries(w, ids[i], c.rrule, c.start);
    }

    const std::size_t n = cases.size();
    EXPECT_EQ(ids[n + 1], ids[n]);  // an update answers the identifier it was given
    const Delivered* single = ByDescription(docs, "made single");
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(Element(single->xml, "PIMID"), ids[n]);
    EXPECT_EQ(Element(single->xml, "RecurType"), "0");
    EXPECT_EQ(Element(single->xml, "lRecurType"), "<none>");
    EXPECT_EQ(Element(single->xml, "Location"), "");  // an update replaces every synchronised text
    ExpectStoredSeries(w, ids[n], "", {});
    const Delivered* daily = ByDescription(docs, "made daily");
    ASSERT_NE(daily, nullptr);
    EXPECT_EQ(Element(daily->xml, "lRecurType"), "1");
    EXPECT_EQ(Element(daily->xml, "lRecurRepeat"), "3");
    EXPECT_EQ(Element(daily->xml, "dtRecurEndDate"), "2027/02/01 00:00:00");
    ExpectStoredSeries(w, ids[n + 2], "FREQ=DAILY;COUNT=3", {2027, 2, 1});
    EXPECT_EQ(ByDescription(docs, "deleted"), nullptr);
    EXPECT_EQ(ids[n + 5], ids[n + 4]);
}

TEST(CalendarWriteE2E, ScriptedWriteSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    const auto r = w.Host({"--start", (w.Root() / "agent/NxAgentOutlook64").string(), "--script",
                           std::string(NX_SOURCE_DIR) + "/tools/nxhost/sessions/calendar-write.nxh"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    // The writes trace no identifiers: the trace is the same in every world.
    ExpectTraceMatchesGolden(w.TraceLines(), "calendar-write");
}

}  // namespace
