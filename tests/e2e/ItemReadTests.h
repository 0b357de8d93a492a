// Reads end to end, the same for each item kind: the real agent with its change journal, nxhost
// and a store built with mapiadmin. Full reads of sub-folders, of an empty folder and for hosts
// that stop taking documents or never listen; classes in another case; what a change read reports
// after edits, deletions and additions, anchors that keep their own state, hosts that break half
// way or fail on an update or a deletion notice (nothing lost, nothing doubled once a read
// completes, and the deletion of an item a broken read delivered reported). A test binary includes this once
// and instantiates ItemReadE2E with its kind.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "platform/system/Ascii.h"
#include "tests/e2e/StoreWorld.h"

namespace nx::e2e {

struct ItemKind {
    const char* method;       // "ReadContacts"
    const char* count;        // "GetContactCount"
    const char* saved;        // the kind nxhost saves the documents as ("contact")
    const char* nameElement;  // the element the test's names come back in
    const char* traceName;    // the read's name in the trace log
    std::string folder;       // the default folder's path
    const char* root;         // and its CsFolder text
    const char* folderClass;  // the container class of a folder of the kind
    const char* itemClass;    // the message class of an item of the kind
    const char* otherClass;   // the class of an item of that folder a read never sends
    // Puts an item of the class named `name` into the folder; its entry id.
    std::string (*put)(StoreWorld& w, const std::string& folder, const std::string& name,
                       const std::string& messageClass);
    const char* edit;                        // the JSON of an edit to the item
    const char *editedElement, *editedText;  // and how it reads back
    const char* noticeHead;                  // a deletion notice up to its PIMID text
    const char* noticeTail;  // the notice from the end of its PIMID to the time the journal knew
    std::vector<std::pair<const char*, const char*>> everyDocument;  // elements each document has
};

// How gtest names a kind in the test list.
inline void PrintTo(const ItemKind& kind, std::ostream* out) {
    *out << kind.saved;
}

class ItemReadE2E : public ::testing::TestWithParam<ItemKind> {
protected:
    std::vector<Delivered> FullRead(StoreWorld& w, std::vector<std::string> extra = {}) {
        return w.Read({"MAPILogOn", std::string(GetParam().method) + " \"\" \"\"", "MAPILogOff", "Shutdown"},
                      std::move(extra), GetParam().saved);
    }
    std::vector<Delivered> Read(StoreWorld& w, const std::string& anchor, int times = 1,
                                std::vector<std::string> extra = {}) {
        return w.Read(ChangeRead(GetParam().method, anchor, times), std::move(extra), GetParam().saved);
    }
    std::vector<std::string> Names(const std::vector<Delivered>& docs,
                                   const std::map<std::string, std::string>& ids) {
        return Summary(docs, ids, GetParam().nameElement);
    }
    // An item of the kind's class.
    static std::string Put(StoreWorld& w, const std::string& folder, const std::string& name) {
        return GetParam().put(w, folder, name, GetParam().itemClass);
    }
};

TEST_P(ItemReadE2E, SubFoldersAreReadOnlyWithTheSwitchAndCarryTheirPath) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    w.Admin({"folder", "create", k.folder + "/Friends/Close/Inner", "--class", k.folderClass, "--parents"});
    w.Admin({"folder", "create", k.folder + "/Notes", "--class", "IPF.Note"});
    Put(w, k.folder, "top");
    Put(w, k.folder + "/Friends", "friend");
    Put(w, k.folder + "/Friends/Close/Inner", "inner");
    Put(w, k.folder + "/Notes", "in a note folder");
    const std::string root = k.root;
    const struct {
        bool subFolder;
        std::vector<std::pair<std::string, std::string>> expected;  // name, CsFolder
    } cases[] = {
        {false, {{"top", root}}},
        {true, {{"top", root}, {"friend", root + "\\Friends"}, {"inner", root + "\\Friends\\Close\\Inner"}}},
    };
    for (const auto& c : cases) {
        w.SetSubFolder(c.subFolder);
        const auto docs = FullRead(w);
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        ASSERT_EQ(docs.size(), c.expected.size()) << w.Output();
        for (std::size_t i = 0; i < docs.size(); ++i) {
            EXPECT_EQ(Element(docs[i].xml, k.nameElement), c.expected[i].first);
            EXPECT_EQ(Element(docs[i].xml, "CsFolder"), c.expected[i].second);
        }
    }
}

TEST_P(ItemReadE2E, AnEmptyFolderAndHostsThatStopOrNeverListen) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    w.Put(k.folder,
          std::string(R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":")") + k.otherClass + R"("}]})");
    // No item of the kind: nothing is sent and the read succeeds.
    EXPECT_TRUE(FullRead(w).empty());
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    for (const char* n : {"a", "b", "c"}) Put(w, k.folder, n);
    // A host that stops taking documents, and one that serves no callback: the read ends and fails.
    EXPECT_EQ(FullRead(w, {"--drop-after", "1"}).size(), 1u);
    EXPECT_EQ(w.ResultOf(1), "1") << w.Output();
    EXPECT_TRUE(FullRead(w, {"--no-callback"}).empty());
    EXPECT_EQ(w.ResultOf(1), "1") << w.Output();
    // Before logon there is no folder to read.
    w.Read({std::string(k.method) + " \"\" \"\"", "Shutdown"}, {}, k.saved);
    EXPECT_EQ(w.ResultOf(0), "1") << w.Output();
}

// Another program may write a class in another case: the agent's equality restrictions on the
// message and container classes ignore it, so such items are counted and read, and so is a
// sub-folder whose class is written in another case.
TEST_P(ItemReadE2E, ClassesWrittenInAnotherCaseAreCountedAndRead) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    w.Admin({"folder", "create", k.folder + "/quiet", "--class", nx::sys::AsciiLower(k.folderClass)});
    k.put(w, k.folder, "lower", nx::sys::AsciiLower(k.itemClass));
    k.put(w, k.folder + "/quiet", "below", k.itemClass);
    w.SetSubFolder(true);
    const auto docs = w.Read(
        {"MAPILogOn", k.count, std::string(k.method) + " \"\" \"\"", "MAPILogOff", "Shutdown"}, {}, k.saved);
    ASSERT_GE(w.Calls().size(), 3u) << w.Output();
    EXPECT_EQ(Out(w.Calls()[1], "count"), "2") << w.Output();
    EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
    std::vector<std::string> names;
    for (const auto& d : docs) names.push_back(Element(d.xml, k.nameElement));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"below", "lower"})) << w.Output();
}

TEST_P(ItemReadE2E, NewThenChangedDeletedAddedOnceEachAndAnchorsApart) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"ann", "bob", "cleo"}) ids[Put(w, k.folder, n)] = n;
    // The first change read under an anchor: everything is new; the second finds nothing (and the
    // journal learns the state's digest), and so does the third (the journal reads by the digest).
    auto docs = Read(w, "sync-1", 3);
    for (int call = 1; call <= 3; ++call) EXPECT_EQ(w.ResultOf(call), "0") << w.Output();
    EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"ann:8", "bob:8", "cleo:8"})) << w.Output();
    EXPECT_NE(w.Output().find("read: 0 documents"), std::string::npos) << w.Output();
    EXPECT_NE(w.JoinedTrace().find(std::string(k.traceName) + " - No Change\n"), std::string::npos)
        << w.JoinedTrace();

    // An edit, a deletion, an addition.
    std::string annId, bobId;
    for (const auto& [id, n] : ids) {
        if (n == "ann") annId = id;
        if (n == "bob") bobId = id;
    }
    const auto edit = w.Root() / "edit.json";
    WriteWholeFile(edit, k.edit);
    w.Admin({"item", "update", annId, edit.string()});
    w.Admin({"item", "delete", bobId});
    ids[Put(w, k.folder, "dana")] = "dana";
    docs = Read(w, "sync-1");
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"-bob:32", "ann:4", "dana:8"})) << w.Output();
    for (const auto& d : docs) {
        if (Element(d.xml, "lFlag") == "32") {
            // The notice: lFlag, PIMID, the kind's constant elements and the time the journal knew.
            EXPECT_EQ(d.xml.substr(0, d.xml.find("<LastModifiedTime>")), k.noticeHead + bobId + k.noticeTail)
                << d.xml;
            EXPECT_EQ(Element(d.xml, "LastModifiedTime").size(), 19u) << d.xml;
            continue;
        }
        for (const auto& [element, text] : k.everyDocument) EXPECT_EQ(Element(d.xml, element), text) << d.xml;
    }
    const Delivered* ann = ByElement(docs, k.nameElement, "ann");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(Element(ann->xml, k.editedElement), k.editedText);
    // Another anchor has a state of its own: everything there is new.
    docs = Read(w, "sync-2");
    EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"ann:8", "cleo:8", "dana:8"})) << w.Output();
    docs = Read(w, "sync-1", 2);
    EXPECT_TRUE(docs.empty()) << w.Output();
    // After reads by the digest, a change is still a change.
    w.Admin({"item", "delete", annId});
    docs = Read(w, "sync-1");
    EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"-ann:32"})) << w.Output();
}

TEST_P(ItemReadE2E, AHostThatBreaksHalfWayGetsTheSameChangesAgain) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    std::map<std::string, std::string> ids;
    for (const char* n : {"a", "b", "c", "d"}) ids[Put(w, k.folder, n)] = n;
    w.SetEnv("NX_CALLBACK_TIMEOUT_MS", "1000");  // a hung host holds the read this long
    const struct {
        const char* anchor;
        std::vector<std::string> flags;
    } cases[] = {{"dropped", {"--drop-after", "2"}}, {"hung", {"--hang-after", "2"}}};
    for (const auto& c : cases) {
        auto docs = Read(w, c.anchor, 1, c.flags);
        EXPECT_EQ(w.ResultOf(1), "1") << c.anchor << "\n" << w.Output();
        EXPECT_EQ(docs.size(), 2u) << c.anchor;
        EXPECT_NE(w.JoinedTrace().find(std::string(k.traceName) + " - CommitChangeLog skipped"),
                  std::string::npos)
            << w.JoinedTrace();
        // The next read delivers every change (none lost) and the one after nothing (none doubled).
        docs = Read(w, c.anchor, 2);
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"a:8", "b:8", "c:8", "d:8"}))
            << c.anchor << "\n"
            << w.Output();
    }
}

// A change read whose delivery fails on an updated item, or on a deletion notice (deletions come
// last), commits nothing: the next change read delivers those changes again and the one after it
// nothing. A read that committed anyway would lose the update or the deletion for good.
TEST_P(ItemReadE2E, AnUpdateOrADeletionTheHostDidNotTakeIsDeliveredAgain) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    StoreWorld w;
    std::map<std::string, std::string> ids, idOf;  // entry id -> name, name -> entry id
    for (const char* n : {"u", "d", "e1", "e2"}) {
        idOf[n] = Put(w, k.folder, n);
        ids[idOf[n]] = n;
    }
    EXPECT_EQ(Read(w, "failing").size(), 4u) << w.Output();  // the anchor's first state
    const auto edit = w.Root() / "edit.json";
    WriteWholeFile(edit, k.edit);
    const struct {
        const char* what;
        std::vector<const char*> edited, deleted;
        std::vector<std::string> taken;  // what the host takes before its callback fails
        std::vector<std::string> again;  // what the next reads deliver
    } cases[] = {
        {"a failed update", {"u"}, {}, {}, {"u:4"}},
        {"a failed deletion notice", {}, {"d"}, {}, {"-d:32"}},
        {"a deletion notice failing after an update went through",
         {"e1"},
         {"e2"},
         {"e1:4"},
         {"-e2:32", "e1:4"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* n : c.edited) w.Admin({"item", "update", idOf[n], edit.string()});
        for (const char* n : c.deleted) w.Admin({"item", "delete", idOf[n]});
        const auto failed = Read(w, "failing", 1, {"--drop-after", std::to_string(c.taken.size())});
        EXPECT_EQ(w.ResultOf(1), "1") << w.Output();
        EXPECT_EQ(Names(failed, ids), c.taken) << w.Output();
        // Two reads: the first delivers the changes again, the second (none doubled) nothing.
        const auto again = Read(w, "failing", 2);
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
        EXPECT_EQ(Names(again, ids), c.again) << w.Output();
    }
}

// The host's callback fails after one new item of a change read ("new B"), and that item is deleted
// before the next change read: the next read reports its deletion (the host may hold it) with the
// other new item, and the one after that nothing. The same in a sub-folder read, and for two anchors
// of two hosts (the second host's read failed before any document: the deletion notice for an item
// it never received is harmless).
TEST_P(ItemReadE2E, AnItemAFailedReadDeliveredGetsItsDeletionReported) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    const struct {
        const char* what;
        bool subFolder;
        std::vector<std::pair<const char*, int>> hosts;  // anchor, documents taken before failing
    } cases[] = {
        {"the kind's folder", false, {{"lost", 1}}},
        {"a sub-folder", true, {{"lost-sub", 1}}},
        {"two hosts", false, {{"host-1", 1}, {"host-2", 0}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StoreWorld w;
        w.SetSubFolder(c.subFolder);
        std::string folder = k.folder;
        if (c.subFolder) {
            folder += "/Below";
            w.Admin({"folder", "create", folder, "--class", k.folderClass});
        }
        std::map<std::string, std::string> ids, idOf;
        const auto put = [&](const char* n) {
            idOf[n] = Put(w, folder, n);
            ids[idOf[n]] = n;
        };
        put("a");
        for (const auto& [anchor, taken] : c.hosts) {
            EXPECT_EQ(Names(Read(w, anchor), ids), (std::vector<std::string>{"a:8"})) << w.Output();
        }
        put("b");
        put("c");
        std::string delivered;  // what the first host took: the store's order decides which
        for (const auto& [anchor, taken] : c.hosts) {
            const auto docs = Read(w, anchor, 1, {"--drop-after", std::to_string(taken)});
            EXPECT_EQ(w.ResultOf(1), "1") << w.Output();
            ASSERT_EQ(docs.size(), static_cast<std::size_t>(taken)) << w.Output();
            if (delivered.empty()) delivered = Names(docs, ids).at(0);
        }
        ASSERT_TRUE(delivered == "b:8" || delivered == "c:8") << delivered;
        const std::string gone = delivered.substr(0, 1), kept = gone == "b" ? "c" : "b";
        w.Admin({"item", "delete", idOf[gone]});
        for (const auto& [anchor, taken] : c.hosts) {
            SCOPED_TRACE(anchor);
            const auto docs = Read(w, anchor, 2);
            EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
            EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
            EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"-" + gone + ":32", kept + ":8"}))
                << w.Output();
        }
    }
}

// Runs `edit` on the store's newest message (?1 `blob`, ?2 the message's row) and returns the
// message's record as it was. The runtime refuses to open a message whose record is damaged
// while the folder's table still lists it.
inline std::string EditNewestMessage(StoreWorld& w, const char* edit, const std::string& blob = {}) {
    std::string store;
    for (const auto& e : fs::recursive_directory_iterator(w.Root()))
        if (e.path().extension() == ".nxstore") store = e.path().string();
    sqlite3* db = nullptr;
    EXPECT_EQ(sqlite3_open_v2(store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK) << store;
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT id, props FROM objects WHERE kind=2 ORDER BY id DESC LIMIT 1", -1, &s,
                       nullptr);
    EXPECT_EQ(sqlite3_step(s), SQLITE_ROW) << store;
    const sqlite3_int64 id = sqlite3_column_int64(s, 0);
    const std::string before(static_cast<const char*>(sqlite3_column_blob(s, 1)),
                             static_cast<std::size_t>(sqlite3_column_bytes(s, 1)));
    sqlite3_finalize(s);
    EXPECT_EQ(sqlite3_prepare_v2(db, edit, -1, &s, nullptr), SQLITE_OK) << edit;
    sqlite3_bind_blob(s, 1, blob.data(), static_cast<int>(blob.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, id);
    EXPECT_EQ(sqlite3_step(s), SQLITE_DONE) << edit;
    sqlite3_finalize(s);
    sqlite3_close(db);
    return before;
}

// A change read that cannot open an item its snapshot lists sends the rest and commits them, but
// not that item: the next change read reports it again, once it can be opened; and reports its
// deletion, should it be deleted meanwhile (a notice the host may not need, and harmless).
TEST_P(ItemReadE2E, AnItemThatCannotBeOpenedIsReportedAgainByTheNextChangeRead) {
    NX_REQUIRE_WORLD();
    const ItemKind& k = GetParam();
    for (const bool deleted : {false, true}) {
        SCOPED_TRACE(deleted ? "deleted meanwhile" : "readable again");
        StoreWorld w;
        std::map<std::string, std::string> ids;
        ids[Put(w, k.folder, "a")] = "a";
        EXPECT_EQ(Names(Read(w, "unreadable"), ids), (std::vector<std::string>{"a:8"})) << w.Output();
        ids[Put(w, k.folder, "b")] = "b";
        const std::string c = Put(w, k.folder, "c");
        ids[c] = "c";
        const std::string record = EditNewestMessage(w, "UPDATE objects SET props=?1 WHERE id=?2",
                                                     std::string("NXP1\x05\0\0\0\x01", 9));
        // Both reads complete (0); neither can send c.
        auto docs = Read(w, "unreadable", 2);
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
        EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{"b:8"})) << w.Output();
        EditNewestMessage(
            w, deleted ? "DELETE FROM objects WHERE id=?2" : "UPDATE objects SET props=?1 WHERE id=?2",
            record);
        docs = Read(w, "unreadable", 2);
        EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
        EXPECT_EQ(w.ResultOf(2), "0") << w.Output();
        EXPECT_EQ(Names(docs, ids), (std::vector<std::string>{deleted ? "-c:32" : "c:8"})) << w.Output();
    }
}

}  // namespace nx::e2e
