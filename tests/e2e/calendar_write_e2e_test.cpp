// Calendar writes end to end: the real agent, nxhost and the MAPI runtime, one world and one agent
// run. The host writes a single appointment, an all-day one and a series of every kind, reads the
// calendar back (every element it sent returns, as the read side reports it; the identifier it got
// is the PIMID read; the time text is lastModifiedTime), checks each stored recurrence blob with
// an independent expander against libical's expansion of the series' RRULE; items updated or
// deleted right after their add come back changed or not at all. A scripted add / update / refused add /
// delete session is compared line by line with its golden trace.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "common/Encoding.h"
#include "tests/calendar/ElementRows.h"
#include "tests/calendar/RecurrenceExpander.h"
#include "tests/e2e/StoreWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;
using Elements = nx::test::Pairs;
using nx::test::Rows;

struct WriteCase {
    const char* name;   // the Description, which finds the item in the read
    Elements sent;      // besides lFlag, lCalType, Description and the common elements
    Elements back;      // elements read back with another text than sent (or only read)
    const char* rrule;  // the series as the host means it ("" for a single item)
    nx::test::Civil start;
};

// What every written document carries.
Elements Common(const char* name) {
    Elements e = Rows(
        "CsFolder=Calendar|Priority=1|Location=Room 1|Body=Plan &lt;&amp;&gt; \xC3\xBC|"
        "nRingTone=0|lReminderMinutes=10|bAlldayEvent=FALSE");
    e.emplace_back("Description", name);
    return e;
}

// The recurrence elements of a series: kind, interval, instance, mask, n-th week, day of month;
// then its end: an end date, a count, or none.
std::string Series(int type, int interval, int instance, int mask, int weekDay, int day) {
    char text[200];
    std::snprintf(
        text, sizeof text,
        "lRecurType=%d|lRecurInterval=%d|lRecurInstance=%d|lRecurWeekMask=%d|lRecurWeekDay=%d|lRecurDay=%d",
        type, interval, instance, mask, weekDay, day);
    return text;
}
std::string EndsOn(const char* day) {
    return std::string("|dtRecurEndDate=") + day + " 00:00:00|bRecurHasEndDate=TRUE|lRecurRepeat=0";
}
std::string EndsAfter(int count) {
    return "|dtRecurEndDate=NULL|bRecurHasEndDate=FALSE|lRecurRepeat=" + std::to_string(count);
}
const std::string kNoEnd = EndsAfter(0);

std::vector<WriteCase> Cases() {
    // Priority is stored and read back. An end-by-date series reads back its number of
    // occurrences, one without end 10, and one that ends after n occurrences as ending on the day
    // of its last.
    const Elements single = Rows("RecurType=0");
    auto byDate = [](int occurrences) { return Rows("lRecurRepeat=" + std::to_string(occurrences)); };
    const Elements never = Rows("lRecurRepeat=10");
    auto afterCount = [](const char* lastDay) {
        return Rows(std::string("bRecurHasEndDate=TRUE|dtRecurEndDate=") + lastDay + " 00:00:00");
    };
    auto times = [](const char* day, const char* from, const char* to) {
        return std::string("dtStartTime=") + day + " " + from + "|dtEndTime=" + day + " " + to + "|";
    };
    return {
        {"single", Rows(times("2027/02/01", "10:00:00", "11:00:00")), single, "", {}},
        {"all-day",
         Rows("bAlldayEvent=TRUE|dtStartTime=2027/02/03 10:00:00|dtEndTime=2027/02/05 "
              "09:00:00|lReminderMinutes=-1"),
         Rows("RecurType=0|dtStartTime=2027/02/03 00:00:00|dtEndTime=2027/02/05 00:00:00"),
         "",
         {}},
        {"daily every 2 days",
         Rows(times("2027/02/01", "08:00:00", "08:30:00") + Series(1, 2, 0, 0, 0, 0) + EndsOn("2027/02/28")),
         byDate(14),
         "FREQ=DAILY;INTERVAL=2;UNTIL=20270228T235959",
         {2027, 2, 1}},
        {"every weekday",
         Rows(times("2027/02/01", "07:30:00", "07:45:00") + Series(2, 0, 0, 62, 0, 0) + EndsAfter(10)),
         afterCount("2027/02/12"),
         "FREQ=WEEKLY;BYDAY=MO,TU,WE,TH,FR;COUNT=10",
         {2027, 2, 1}},
        {"weekly with mask",
         Rows(times("2027/02/01", "12:00:00", "13:00:00") + Series(2, 2, 0, 42, 0, 0) + kNoEnd),
         never,
         "FREQ=WEEKLY;WKST=SU;INTERVAL=2;BYDAY=MO,WE,FR",
         {2027, 2, 1}},
        {"monthly nth",
         Rows(times("2027/02/09", "16:00:00", "17:00:00") + Series(3, 1, 1, 4, 2, 0) + EndsOn("2027/12/31")),
         byDate(11),
         "FREQ=MONTHLY;BYDAY=TU;BYSETPOS=2;UNTIL=20271231T235959",
         {2027, 2, 9}},
        {"monthly last friday",
         Rows(times("2027/02/26", "15:00:00", "15:30:00") + Series(3, 1, 1, 32, -1, 0) + EndsAfter(6)),
         afterCount("2027/07/30"),
         "FREQ=MONTHLY;BYDAY=FR;BYSETPOS=-1;COUNT=6",
         {2027, 2, 26}},
        {"monthly on a day",
         Rows(times("2027/02/15", "09:00:00", "09:30:00") + Series(3, 2, 0, 0, 0, 15) + kNoEnd),
         never,
         "FREQ=MONTHLY;INTERVAL=2;BYMONTHDAY=15",
         {2027, 2, 15}},
        {"yearly with end date",
         Rows(times("2027/03/07", "18:00:00", "20:00:00") + "lRecurMonth=3|" + Series(4, 1, 0, 0, 0, 7) +
              EndsOn("2035/03/07")),
         byDate(9),
         "FREQ=YEARLY;BYMONTH=3;BYMONTHDAY=7;UNTIL=20350307T235959",
         {2027, 3, 7}},
        {"yearly with count",
         Rows(times("2027/11/25", "12:00:00", "15:00:00") + "lRecurMonth=11|" + Series(4, 1, 1, 16, 4, 0) +
              EndsAfter(5)),
         afterCount("2031/11/27"),
         "FREQ=YEARLY;BYMONTH=11;BYDAY=TH;BYSETPOS=4;COUNT=5",
         {2027, 11, 25}},
        {"yearly without end",
         Rows(times("2027/12/31", "22:00:00", "23:00:00") + "lRecurMonth=12|" + Series(4, 1, 0, 0, 0, 31) +
              kNoEnd),
         never,
         "FREQ=YEARLY;BYMONTH=12;BYMONTHDAY=31",
         {2027, 12, 31}},
    };
}

std::string Document(const Elements& elements) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>";
    for (const auto& [name, text] : elements) xml += "\n\t<" + name + ">" + text + "</" + name + ">";
    return xml + "\n</Calendar>\n";
}

// The stored recurrence blob of an item, as mapiadmin dumps it.
std::vector<uint8_t> StoredRecurrence(StoreWorld& w, const std::string& id) {
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
void ExpectStoredSeries(StoreWorld& w, const std::string& id, const char* rrule,
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
    NX_REQUIRE_WORLD();
    StoreWorld w;
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
    const std::string at = "|dtStartTime=2027/02/01 12:00:00|dtEndTime=2027/02/01 13:00:00|";
    const std::string added = "lFlag=8|lCalType=3" + at,
                      updated = "lFlag=4|lCalType=3|PIMID={identifier}" + at;
    for (const std::string& text :
         {added + "Description=made single|Location=Room 2|lRecurType=2|lRecurInterval=1|lRecurWeekMask=2",
          updated + "Description=made single|lRecurType=0", added + "Description=made daily",
          updated + "Description=made daily|lRecurType=1|lRecurInterval=1|lRecurRepeat=3",
          added + "Description=deleted|bAlldayEvent=TRUE", std::string("lFlag=32|PIMID={identifier}")})
        writes.push_back(Rows(text));

    std::vector<std::string> lines = {"MAPILogOn", "SetCalendarFolder \"\""};
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const fs::path file = w.Root() / ("write-" + std::to_string(i) + ".xml");
        WriteWholeFile(file, Document(writes[i]));
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
        ids.push_back(Out(calls[2 + i], "identifier"));
    }

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.name);
        const Delivered* doc = ByElement(docs, "Description", c.name);
        ASSERT_NE(doc, nullptr) << w.Output();
        EXPECT_EQ(ids[i], Element(doc->xml, "PIMID"));
        EXPECT_EQ(Out(calls[2 + i], "time"), Element(doc->xml, "lastModifiedTime"));
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
    const Delivered* single = ByElement(docs, "Description", "made single");
    ASSERT_NE(single, nullptr);
    EXPECT_EQ(Element(single->xml, "PIMID"), ids[n]);
    EXPECT_EQ(Element(single->xml, "RecurType"), "0");
    EXPECT_EQ(Element(single->xml, "lRecurType"), "<none>");
    EXPECT_EQ(Element(single->xml, "Location"), "");  // an update replaces every synchronised text
    ExpectStoredSeries(w, ids[n], "", {});
    const Delivered* daily = ByElement(docs, "Description", "made daily");
    ASSERT_NE(daily, nullptr);
    EXPECT_EQ(Element(daily->xml, "lRecurType"), "1");
    EXPECT_EQ(Element(daily->xml, "lRecurRepeat"), "3");
    EXPECT_EQ(Element(daily->xml, "dtRecurEndDate"), "2027/02/03 00:00:00");
    ExpectStoredSeries(w, ids[n + 2], "FREQ=DAILY;COUNT=3", {2027, 2, 1});
    EXPECT_EQ(ByElement(docs, "Description", "deleted"), nullptr);
    EXPECT_EQ(ids[n + 5], ids[n + 4]);
}

TEST(CalendarWriteE2E, ScriptedWriteSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.RunScript("calendar-write");
    // The writes trace no identifiers: the trace is the same in every world.
    ExpectTraceMatchesGolden(w.TraceLines(), "calendar-write");
}

}  // namespace
