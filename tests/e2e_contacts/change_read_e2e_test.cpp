// Change reads end to end: the real agent with its change journal, nxhost and a store built with
// mapiadmin. What a change read reports after edits, deletions and additions, anchors that keep
// their own state, hosts that break half way (nothing lost, nothing doubled once a read
// completes), and the trace of a scripted session line by line.
#include <gtest/gtest.h>

#include "tests/e2e_contacts/ContactsWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;

std::string Name(const std::string& n) {
    return R"({"tag":"PR_GIVEN_NAME_W","value":")" + n + R"("})";
}

std::vector<std::string> ChangeRead(const std::string& anchor, int times = 1) {
    return nx::e2e::ChangeRead("ReadContacts", anchor, times);
}

// "FirstName:lFlag" of each document, and "-name:lFlag" for a deletion notice.
std::vector<std::string> Summary(const std::vector<Delivered>& docs,
                                 const std::map<std::string, std::string>& ids) {
    return nx::e2e::Summary(docs, ids, "FirstName");
}

TEST(ChangeReadE2E, NewThenChangedDeletedAddedOnceEachAndAnchorsApart) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"ann", "bob", "cleo"}) ids[w.PutContact(kContacts, Name(n))] = n;
    // The first change read under an anchor: everything is new; the second finds nothing.
    auto docs = w.Read(ChangeRead("sync-1", 2));
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"ann:8", "bob:8", "cleo:8"})) << w.Output();
    EXPECT_NE(w.Output().find("read: 0 documents"), std::string::npos) << w.Output();
    const std::string trace = [&] {
        std::string t;
        for (const auto& l : w.TraceLines()) t += l + "\n";
        return t;
    }();
    EXPECT_NE(trace.find("CMAPIObject::ReadContacts - No Change\n"), std::string::npos) << trace;

    // An edit, a deletion, an addition.
    std::string annId, bobId;
    for (const auto& [id, n] : ids) {
        if (n == "ann") annId = id;
        if (n == "bob") bobId = id;
    }
    const auto edit = w.Root() / "edit.json";
    nx::e2e::WriteFile(edit, R"({"properties":[{"tag":"PR_NICKNAME_W","value":"Annie"}]})");
    w.Admin({"item", "update", annId, edit.string()});
    w.Admin({"item", "delete", bobId});
    ids[w.PutContact(kContacts, Name("dana"))] = "dana";
    docs = w.Read(ChangeRead("sync-1"));
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"-bob:32", "ann:4", "dana:8"})) << w.Output();
    for (const auto& d : docs) {
        if (Element(d.xml, "lFlag") != "32") continue;
        // The notice: lFlag, PIMID and the time the journal knew, nothing else.
        EXPECT_EQ(d.xml.substr(0, d.xml.find("<LastModifiedTime>")),
                  "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Contact>\n\t<lFlag>32</lFlag>\n\t<PIMID>" +
                      bobId + "</PIMID>\n\t")
            << d.xml;
        EXPECT_EQ(Element(d.xml, "LastModifiedTime").size(), 19u) << d.xml;
    }
    EXPECT_EQ(Element(ContactsWorld::ByFirstName(docs, "ann")->xml, "NickName"), "Annie");
    // Another anchor has a state of its own: everything there is new.
    docs = w.Read(ChangeRead("sync-2"));
    EXPECT_EQ(Summary(docs, ids), (std::vector<std::string>{"ann:8", "cleo:8", "dana:8"})) << w.Output();
    docs = w.Read(ChangeRead("sync-1"));
    EXPECT_TRUE(docs.empty()) << w.Output();
}

TEST(ChangeReadE2E, AHostThatBreaksHalfWayGetsTheSameChangesAgain) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"a", "b", "c", "d"}) ids[w.PutContact(kContacts, Name(n))] = n;
    w.SetEnv("NX_CALLBACK_TIMEOUT_MS", "1000");  // a hung host holds the read this long
    const std::vector<std::string> all = {"a:8", "b:8", "c:8", "d:8"};
    const struct {
        const char* anchor;
        std::vector<std::string> flags;
    } cases[] = {{"dropped", {"--drop-after", "2"}}, {"hung", {"--hang-after", "2"}}};
    for (const auto& c : cases) {
        auto docs = w.Read(ChangeRead(c.anchor), c.flags);
        EXPECT_EQ(w.ResultOf(1), "1") << c.anchor << "\n" << w.Output();
        EXPECT_EQ(docs.size(), 2u) << c.anchor;
        std::string trace;
        for (const auto& l : w.TraceLines()) trace += l + "\n";
        EXPECT_NE(trace.find("CMAPIObject::ReadContacts - CommitChangeLog skipped"), std::string::npos)
            << trace;
        // The next read delivers every change (none lost) and the one after nothing (none doubled).
        docs = w.Read(ChangeRead(c.anchor, 2));
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        EXPECT_EQ(Summary(docs, ids), all) << c.anchor << "\n" << w.Output();
    }
}

TEST(ChangeReadE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_CONTACTS_WORLD();
    ContactsWorld w;
    const std::string ada = w.PutContact(kContacts, Name("Ada"));
    const auto r = w.Host({"--start", (w.Root() / "agent/NxAgentOutlook64").string(), "--script",
                           std::string(NX_SOURCE_DIR) + "/tools/nxhost/sessions/contacts-full-read.nxh"});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    auto names = w.EntryIdNames();
    names[ada] = "{Ada}";
    std::vector<std::string> actual;
    for (const auto& l : w.TraceLines()) actual.push_back(ContactsWorld::ReplaceIds(l, names));
    ExpectTraceMatchesGolden(actual, "contacts-full-read");
}

}  // namespace
