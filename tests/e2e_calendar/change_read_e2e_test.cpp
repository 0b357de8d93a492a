// Calendar change reads end to end: the real agent with its change journal, nxhost and a store
// built with mapiadmin. What a change read reports after edits, deletions and additions, a host
// that breaks half way (nothing lost once a read completes), and the trace of a scripted full and
// change read line by line.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/e2e_contacts/ContactsWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;

const std::string kCalendar = "Personal Folders/Top of Personal Folders/Calendar";

std::string Appointment(const std::string& subject) {
    return R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":"IPM.Appointment"},)"
           R"({"tag":"PR_SUBJECT_W","value":")" +
           subject +
           R"("},{"named":"PidLidAppointmentStartWhole","value":"2026-02-02T09:00:00Z"},)"
           R"({"named":"PidLidAppointmentEndWhole","value":"2026-02-02T10:00:00Z"}]})";
}

std::vector<std::string> ChangeRead(const std::string& anchor, int times = 1) {
    return nx::e2e::ChangeRead("ReadCalendars", anchor, times);
}

// "Description:lFlag" of each document, and "-name:lFlag" for a deletion notice.
std::vector<std::string> Summary(const std::vector<Delivered>& docs,
                                 const std::map<std::string, std::string>& ids) {
    return nx::e2e::Summary(docs, ids, "Description");
}

TEST(CalendarChangeReadE2E, NewThenChangedDeletedAddedThenNothing) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"ann", "bob", "cleo"}) ids[w.Put(kCalendar, Appointment(n))] = n;
    auto docs = w.Read(ChangeRead("sync-1", 2), {}, "calendar");
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"ann:8", "bob:8", "cleo:8"})) << w.Output();

    std::string annId, bobId;
    for (const auto& [id, n] : ids) {
        if (n == "ann") annId = id;
        if (n == "bob") bobId = id;
    }
    const auto edit = w.Root() / "edit.json";
    WriteFile(edit, R"({"properties":[{"named":"PidLidLocation","value":"Room 9"}]})");
    w.Admin({"item", "update", annId, edit.string()});
    w.Admin({"item", "delete", bobId});
    ids[w.Put(kCalendar, Appointment("dana"))] = "dana";
    docs = w.Read(ChangeRead("sync-1", 2), {}, "calendar");
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"-bob:32", "ann:4", "dana:8"})) << w.Output();
    for (const auto& d : docs) {
        if (Element(d.xml, "lFlag") == "32") {
            // The notice: lFlag, PIMID, lCalType and the time the journal knew, nothing else.
            EXPECT_EQ(
                d.xml.substr(0, d.xml.find("<LastModifiedTime>")),
                "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Calendar>\n\t<lFlag>32</lFlag>\n\t<PIMID>" +
                    bobId + "</PIMID>\n\t<lCalType>3</lCalType>\n\t")
                << d.xml;
            EXPECT_EQ(Element(d.xml, "LastModifiedTime").size(), 19u) << d.xml;
        } else {
            EXPECT_EQ(Element(d.xml, "CsFolder"), "Calendar");
            EXPECT_EQ(Element(d.xml, "lCalType"), "3");
        }
    }
    const auto ann = std::find_if(docs.begin(), docs.end(),
                                  [](const Delivered& d) { return Element(d.xml, "Description") == "ann"; });
    ASSERT_NE(ann, docs.end());
    EXPECT_EQ(Element(ann->xml, "Location"), "Room 9");
}

TEST(CalendarChangeReadE2E, AHostThatBreaksHalfWayGetsTheSameChangesAgain) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"a", "b", "c", "d"}) ids[w.Put(kCalendar, Appointment(n))] = n;
    auto docs = w.Read(ChangeRead("dropped"), {"--drop-after", "2"}, "calendar");
    EXPECT_EQ(w.ResultOf(1), "1") << w.Output();
    EXPECT_EQ(docs.size(), 2u);
    std::string trace;
    for (const auto& l : w.TraceLines()) trace += l + "\n";
    EXPECT_NE(trace.find("CMAPIObject::ReadCalendarEvent - CommitChangeLog skipped"), std::string::npos)
        << trace;
    docs = w.Read(ChangeRead("dropped", 2), {}, "calendar");
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"a:8", "b:8", "c:8", "d:8"})) << w.Output();
}

TEST(CalendarChangeReadE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    const std::string review = w.Put(kCalendar, Appointment("review"));
    const auto r = w.Host({"--start", (w.Root() / "agent/NxAgentOutlook64").string(), "--script",
                           std::string(NX_SOURCE_DIR) + "/tools/nxhost/sessions/calendar-change-read.nxh"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto names = w.EntryIdNames();
    names[review] = "{review}";
    std::vector<std::string> actual;
    for (const auto& l : w.TraceLines()) actual.push_back(ContactsWorld::ReplaceIds(l, names));
    ExpectTraceMatchesGolden(actual, "calendar-change-read");
}

}  // namespace
