// Crash safety and damaged files: a writer killed in the middle of its saves leaves a store that
// opens and holds every save that succeeded, whole; damaged or foreign files give MAPI errors.
#include <sqlite3.h>
#include <unistd.h>

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
