// Crash safety and damaged files: a writer killed in the middle of its saves leaves a store that
// opens and holds every save that succeeded, whole; damaged or foreign files give MAPI errors.
#include <sqlite3.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tests/platform/mapi32/MapiWorld.h"
#include "tests/support/Process.h"

namespace nx::test {
namespace {

class DurabilityTest : public MapiWorld {
protected:
    void SetUp() override {
        MapiWorld::SetUp();
        InitDefault();
    }
    std::string StorePath() {
        NxMapiProfileList* list = nullptr;
        EXPECT_EQ(admin().ListProfiles(&list), S_OK);
        std::string path = list->profiles[0].stores[0].path;
        admin().FreeProfileList(list);
        return path;
    }
    ComPtr<IMAPIFolder> Contacts(ComPtr<IMAPISession>& session, ComPtr<IMsgStore>& store) {
        session = Logon();
        store = DefaultStore(session.get());
        return ContactsOf(store.get());
    }
};

// What the writer saves as the i-th message's body and attachment data.
std::u16string BodyOf(int i) {
    return std::u16string(2000 + i, static_cast<char16_t>(u'a' + i % 26));
}
std::string DataOf(int i) {
    return std::string(40000 + i, static_cast<char>(i));
}

// The writer: saves message after message, each with an out-of-line attachment, and reports the
// number of every save that returned S_OK as a line on its standard output.
int Writer(IMAPIFolder* folder) {
    for (int i = 0;; ++i) {
        ComPtr<IMessage> msg;
        if (folder->CreateMessage(nullptr, 0, msg.put()) != S_OK) return 2;
        std::u16string subject = u"msg " + std::u16string(1, static_cast<char16_t>(u'0' + i % 10));
        std::u16string body = BodyOf(i);
        SPropValue v[3] = {Val(PR_PRIORITY, {.l = i}), Text(PR_SUBJECT_W, subject.c_str()),
                           Text(PR_BODY_W, body.c_str())};
        msg->SetProps(3, v, nullptr);
        ComPtr<IAttach> att;
        ULONG num = 0;
        if (msg->CreateAttach(nullptr, 0, &num, att.put()) != S_OK) return 3;
        std::string data = DataOf(i);
        SPropValue d = Val(PR_ATTACH_DATA_BIN,
                           {.bin = {static_cast<ULONG>(data.size()), reinterpret_cast<LPBYTE>(data.data())}});
        att->SetProps(1, &d, nullptr);
        att->SaveChanges(KEEP_OPEN_READWRITE);
        if (msg->SaveChanges(KEEP_OPEN_READWRITE) == S_OK) {
            const std::string ack = std::to_string(i) + "\n";
            if (write(1, ack.data(), ack.size()) != static_cast<ssize_t>(ack.size())) return 4;
        }
    }
}

TEST_F(DurabilityTest, KilledWriterLosesNoAcknowledgedSaveAndLeavesNoHalfMessage) {
    Process writer = StartInChild([this] {
        ComPtr<IMAPISession> session;
        ComPtr<IMsgStore> store;
        auto folder = Contacts(session, store);
        return Writer(folder.get());
    });
    std::vector<int> acked;
    ASSERT_TRUE(writer.FollowOutput(120, [&acked](const std::string& line) {
        acked.push_back(std::stoi(line));
        return acked.size() < 40;
    }));
    ASSERT_FALSE(writer.Ended()) << "the writer stopped by itself";
    writer.Kill();
    writer.FollowOutput(0, [&acked](const std::string& line) {  // acknowledged before the kill
        acked.push_back(std::stoi(line));
        return true;
    });
    ASSERT_GE(acked.size(), 40u);

    // The file is sound.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(StorePath().c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);

    ComPtr<IMAPISession> session;
    ComPtr<IMsgStore> store;
    auto folder = Contacts(session, store);
    ComPtr<IMAPITable> table;
    ASSERT_EQ(folder->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
    SizedSPropTagArray<3> cols = {3, {PR_ENTRYID, PR_PRIORITY, PR_HASATTACH}};
    RowSetPtr rows = Rows(table.get(), cols.get());
    // Every acknowledged save is there; at most the one in flight is there without its ack.
    ASSERT_GE(rows.size(), acked.size());
    EXPECT_LE(rows.size(), acked.size() + 1);
    for (ULONG r = 0; r < rows.size(); ++r) {
        SCOPED_TRACE(r);
        const SPropValue* p = rows[r].lpProps;
        ASSERT_EQ(p[1].ulPropTag, PR_PRIORITY);
        EXPECT_EQ(p[1].Value.l, static_cast<LONG>(r));
        ASSERT_EQ(p[2].ulPropTag, PR_HASATTACH);
        EXPECT_EQ(p[2].Value.b, 1);
        // The whole message: body and attachment data.
        auto msg = Open<IMessage>(store.get(), Bytes(p[0].Value.bin));
        const std::u16string body = BodyOf(static_cast<int>(r));
        EXPECT_TRUE(ReadAll(Stream(msg.get(), PR_BODY_W).get()) ==
                    std::string(reinterpret_cast<const char*>(body.data()), body.size() * 2));
        ComPtr<IAttach> att;
        ASSERT_EQ(msg->OpenAttach(0, nullptr, 0, att.put()), S_OK);
        EXPECT_TRUE(ReadAll(Stream(att.get(), PR_ATTACH_DATA_BIN).get()) == DataOf(static_cast<int>(r)));
    }
}

TEST_F(DurabilityTest, DamagedAndForeignFilesGiveMapiErrors) {
    const std::string path = StorePath();
    const std::string original = ReadWholeFile(path);
    ASSERT_GT(original.size(), 4096u);
    auto writeFile = [&](const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        std::remove((path + "-wal").c_str());
        std::remove((path + "-shm").c_str());
    };
    auto sql = [&](const char* statement) {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, statement, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    std::string noise(original.size(), '\0');
    for (std::size_t k = 0; k < noise.size(); ++k) noise[k] = static_cast<char>(k * 7919 >> 3);
    std::string headerKept = original.substr(0, 100) + noise.substr(100);

    struct Case {
        const char* name;
        std::function<void()> damage;
        HRESULT openStore;  // S_OK: the store opens; the damage shows further in
    } cases[] = {
        {"random bytes", [&] { writeFile(noise); }, MAPI_E_CORRUPT_STORE},
        {"valid header, garbage pages", [&] { writeFile(headerKept); }, MAPI_E_CORRUPT_STORE},
        {"truncated", [&] { writeFile(original.substr(0, original.size() / 3)); }, MAPI_E_CORRUPT_STORE},
        {"empty", [&] { writeFile(""); }, MAPI_E_CORRUPT_STORE},
        {"foreign database",
         [&] {
             writeFile("");
             sql("CREATE TABLE t(x); INSERT INTO t VALUES(1);");
         },
         MAPI_E_CORRUPT_STORE},
        {"missing file", [&] { std::remove(path.c_str()); }, MAPI_E_NOT_FOUND},
        {"metadata removed", [&] { sql("DELETE FROM meta WHERE key = 'root'"); }, MAPI_E_CORRUPT_STORE},
        {"property blob damaged",
         [&] { sql("UPDATE objects SET props = x'4E5850310500000001' WHERE kind = 1"); }, S_OK},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        writeFile(original);
        c.damage();
        auto session = Logon();
        ComPtr<IMAPITable> stores;
        ASSERT_EQ(session->GetMsgStoresTable(0, stores.put()), S_OK);
        SizedSPropTagArray<1> cols = {1, {PR_ENTRYID}};
        RowSetPtr rows = Rows(stores.get(), cols.get());
        const SBinary& eid = rows[0].lpProps[0].Value.bin;
        ComPtr<IMsgStore> store;
        EXPECT_EQ(session->OpenMsgStore(0, eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0x19,
                                        store.put()),
                  c.openStore);
        if (!store) continue;
        // Folders whose properties are damaged fail to open with a MAPI error.
        ComPtr<IUnknown> root;
        ULONG type = 0;
        EXPECT_EQ(store->OpenEntry(0, nullptr, nullptr, MAPI_BEST_ACCESS, &type, root.put()), S_OK);
        MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
        EXPECT_EQ(
            fn().HrGetOneProp(reinterpret_cast<IMAPIProp*>(root.get()), PR_IPM_CONTACT_ENTRYID, v.put()),
            MAPI_E_CORRUPT_DATA);
    }
    writeFile(original);
}

// A store of the format before, made by that format's mapiadmin (format1_world), in a world of
// its own: the upgrade when a session opens it, killed at points of its one transaction.
class UpgradeTest : public MapiWorld {
protected:
    void SetUp() override {
        MapiWorld::SetUp();
        char folder[4096];
        ASSERT_EQ(admin().DataFolder(folder, sizeof folder), S_OK);
        const std::filesystem::path from =
            std::filesystem::path(NX_SOURCE_DIR) / "tests/platform/mapi32/format1_world/nxmapi";
        std::filesystem::copy(
            from, folder,
            std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
        m_store = std::string(folder) + "/stores/030E115E1507B98DBC695E3D16C23559.nxstore";
    }
    // One value of the file, through SQLite itself.
    std::int64_t Sql(const char* query) {
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open_v2(m_store.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
        sqlite3_stmt* st = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(db, query, -1, &st, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        std::int64_t v = -1;
        if (sqlite3_step(st) == SQLITE_ROW)
            v = sqlite3_column_type(st, 0) == SQLITE_TEXT
                    ? (std::strcmp(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok") == 0 ? 1
                                                                                                         : 0)
                    : sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return v;
    }
    std::string m_store;
};

// Where the child kills itself: at the n-th row the upgrade rewrites, or (0) when its
// transaction commits. Set in the child only; SQLite calls the hooks on every connection.
int g_killAtUpdate = 0;
int g_updates = 0;

int InstallKillHooks(sqlite3* db, char**, const sqlite3_api_routines*) {
    sqlite3_update_hook(
        db,
        [](void*, int op, const char*, const char* table, sqlite3_int64) {
            if (op == SQLITE_UPDATE && std::strcmp(table, "objects") == 0 && ++g_updates == g_killAtUpdate)
                raise(SIGKILL);
        },
        nullptr);
    sqlite3_commit_hook(
        db,
        [](void*) -> int {
            if (g_killAtUpdate == 0 && g_updates > 0) raise(SIGKILL);  // the rows rewritten, not committed
            return 0;
        },
        nullptr);
    return SQLITE_OK;
}

TEST_F(UpgradeTest, AKillDuringTheUpgradeLeavesTheStoreOfTheFormatBeforeWholeAndTheNextOpenUpgradesIt) {
    const std::string original = ReadWholeFile(m_store);
    ASSERT_EQ(Sql("PRAGMA user_version"), 1);
    const std::int64_t objects = Sql("SELECT COUNT(*) FROM objects");
    ASSERT_GT(objects, 10);
    for (const int killAt : {1, static_cast<int>(objects / 2), 0}) {
        SCOPED_TRACE(killAt);
        WriteWholeFile(m_store, original);
        std::filesystem::remove(m_store + "-wal");
        std::filesystem::remove(m_store + "-shm");
        Process upgrader = StartInChild([this, killAt] {
            g_killAtUpdate = killAt;
            sqlite3_auto_extension(reinterpret_cast<void (*)()>(&InstallKillHooks));
            auto session = Logon();
            auto store = DefaultStore(session.get());
            return store ? 0 : 2;
        });
        EXPECT_EQ(upgrader.Wait(120), -1) << "the child reached its kill point";
        // Nothing of the upgrade is in the file: the format before, every record as it was.
        EXPECT_EQ(Sql("PRAGMA integrity_check"), 1);
        EXPECT_EQ(Sql("PRAGMA user_version"), 1);
        EXPECT_EQ(Sql("SELECT COUNT(*) FROM objects WHERE substr(props, 1, 4) = CAST('NXP1' AS BLOB)"),
                  objects);
    }

    // The next open (this process's first) upgrades it whole.
    {
        auto session = Logon();
        auto store = DefaultStore(session.get());
        auto contacts = ContactsOf(store.get());
        ComPtr<IMAPITable> table;
        ASSERT_EQ(contacts->GetContentsTable(MAPI_UNICODE, table.put()), S_OK);
        SizedSPropTagArray<2> cols = {2, {PR_ENTRYID, PR_SUBJECT_W}};
        RowSetPtr rows = Rows(table.get(), cols.get());
        const std::u16string subjects[] = {u"Ann Lee", u"Bob Stone", u"Non-ASCII class", u"No class at all",
                                           u"Team"};
        ASSERT_EQ(rows.size(), std::size(subjects));
        for (ULONG r = 0; r < rows.size(); ++r)
            EXPECT_EQ(std::u16string(rows[r].lpProps[1].Value.lpszW), subjects[r]);
        // The value kept out of line and the attachment's data.
        auto ann = Open<IMessage>(store.get(), Bytes(rows[0].lpProps[0].Value.bin));
        const std::u16string body = u"long body " + std::u16string(20000, u'x');
        EXPECT_TRUE(ReadAll(Stream(ann.get(), PR_BODY_W).get()) ==
                    std::string(reinterpret_cast<const char*>(body.data()), body.size() * 2));
        ComPtr<IAttach> photo;
        ASSERT_EQ(ann->OpenAttach(0, nullptr, 0, photo.put()), S_OK);
        EXPECT_EQ(ReadAll(Stream(photo.get(), PR_ATTACH_DATA_BIN).get()).size(), 20004u);
    }
    EXPECT_EQ(Sql("PRAGMA user_version"), 2);
    EXPECT_EQ(Sql("SELECT COUNT(*) FROM objects WHERE substr(props, 1, 4) = CAST('NXP2' AS BLOB)"), objects);
}

TEST_F(DurabilityTest, DamagedProfileListFailsLogonCleanly) {
    char folder[4096];
    ASSERT_EQ(admin().DataFolder(folder, sizeof folder), S_OK);
    {
        std::ofstream out(std::string(folder) + "/profiles.db", std::ios::binary | std::ios::trunc);
        out << "this is not a database at all, but it is long enough to look like one to a careless reader";
    }
    std::remove((std::string(folder) + "/profiles.db-wal").c_str());
    ComPtr<IMAPISession> s;
    HRESULT hr = fn().MAPILogonEx(0, nullptr, nullptr, kLogonDefault, s.put());
    EXPECT_TRUE(FAILED(hr));
    EXPECT_FALSE(s);
    NxMapiProfileList* list = nullptr;
    EXPECT_TRUE(FAILED(admin().ListProfiles(&list)));
    EXPECT_EQ(list, nullptr);
}

}  // namespace
}  // namespace nx::test
