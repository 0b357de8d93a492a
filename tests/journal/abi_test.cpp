// The journal through its C ABI: libDeltatrack64.so loaded with dlopen, as a host of the ABI
// sees it. CLogItemArray is used unchanged; its DeltatrackAlloc/DeltatrackFree calls are routed
// to the loaded library's exports.
#include <dlfcn.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "tests/journal/JournalWorld.h"
#include "tests/support/Process.h"

namespace {

struct DeltatrackApi {
    decltype(&DeltatrackAlloc) alloc = nullptr;
    decltype(&DeltatrackFree) free = nullptr;
    decltype(&GetChangeLog) get = nullptr;
    decltype(&CommitChangeLog) commit = nullptr;
    decltype(&CommitChangeLogExcept) commitExcept = nullptr;
    decltype(&CloseChangeLog) close = nullptr;

    static DeltatrackApi& Get() {
        static DeltatrackApi api;
        return api;
    }

private:
    DeltatrackApi() {
        void* lib = dlopen(NX_BIN_DIR "/libDeltatrack64.so", RTLD_NOW | RTLD_LOCAL);
        if (!lib) {
            ADD_FAILURE() << dlerror();
            return;
        }
        alloc = reinterpret_cast<decltype(alloc)>(dlsym(lib, "DeltatrackAlloc"));
        free = reinterpret_cast<decltype(free)>(dlsym(lib, "DeltatrackFree"));
        get = reinterpret_cast<decltype(get)>(dlsym(lib, "GetChangeLog"));
        commit = reinterpret_cast<decltype(commit)>(dlsym(lib, "CommitChangeLog"));
        commitExcept = reinterpret_cast<decltype(commitExcept)>(dlsym(lib, "CommitChangeLogExcept"));
        close = reinterpret_cast<decltype(close)>(dlsym(lib, "CloseChangeLog"));
    }
};

// The debug output of the library goes to a file for the whole run (the switch is read once).
std::string DebugFile() {
    static const std::string path = [] {
        std::string p =
            (std::filesystem::temp_directory_path() / ("nxjournal-debug-" + std::to_string(getpid())))
                .string();
        setenv("NX_DEBUG_OUTPUT", p.c_str(), 1);
        return p;
    }();
    // The file goes with the test program (every test runs in a program of its own).
    static const bool removedAtExit = std::atexit([] { std::remove(path.c_str()); }) == 0;
    static_cast<void>(removedAtExit);
    return path;
}

}  // namespace

extern "C" void* DeltatrackAlloc(size_t bytes) {
    return DeltatrackApi::Get().alloc(bytes);
}
extern "C" void DeltatrackFree(void* block) {
    DeltatrackApi::Get().free(block);
}

namespace nx::test {
namespace {

struct Request {
    std::u16string category = u"contact", source = u"pim", anchor;
    tagChangeRequest c{};
    explicit Request(std::u16string a, std::u16string cat = u"contact", std::u16string src = u"pim")
        : category(std::move(cat)), source(std::move(src)), anchor(std::move(a)) {
        c = {category.c_str(), source.c_str(), anchor.c_str()};
    }
    const tagChangeRequest* get() const { return &c; }
};

struct Item {
    const char* id;
    double time;
    int32_t status = NX_LOG_TIME_VALID;
};

void Fill(CLogItemArray& a, const std::vector<Item>& items) {
    for (const Item& i : items) a.Add(U16(i.id), i.time, i.status);
}

class DeltatrackAbiTest : public JournalWorld {
protected:
    void SetUp() override {
        m_debugAt = DebugText().size();
        JournalWorld::SetUp();
        ASSERT_TRUE(api().get && api().commit && api().commitExcept && api().close && api().alloc &&
                    api().free);
    }
    static DeltatrackApi& api() { return DeltatrackApi::Get(); }
    // What the library wrote to the debug output since the test began.
    std::string NewDebugText() { return DebugText().substr(m_debugAt); }
    static std::string DebugText() { return ReadWholeFile(DebugFile()); }
    int32_t Read(CLogItemArray& a, const Request& r) { return api().get(a.get(), r.get()); }
    // Reads `snapshot` under `request`: the changes it reports are `changes` (none: a result <= 0).
    void ExpectRead(const Request& request, const std::vector<Item>& snapshot,
                    const std::map<std::string, int32_t>& changes) {
        CLogItemArray a;
        Fill(a, snapshot);
        const int32_t result = Read(a, request);
        if (changes.empty()) {
            EXPECT_LE(result, 0);
            return;
        }
        EXPECT_EQ(result, static_cast<int32_t>(changes.size()));
        std::map<std::string, int32_t> got;
        for (const auto& [id, flags] : FlagsById(a)) got[std::string(id.begin(), id.end())] = flags;
        EXPECT_EQ(got, changes);
    }

    std::size_t m_debugAt = 0;
};

constexpr int32_t kNoCommit = 99;

// A session of change reads, step by step. `changes` empty means "result <= 0".
struct Step {
    const char* what;
    const char16_t* anchor;
    std::vector<Item> snapshot;
    std::map<std::string, int32_t> changes;
    int32_t commit;  // expected CommitChangeLog result, or kNoCommit
};

TEST_F(DeltatrackAbiTest, ChangeReadsFollowTheCommittedStatePerAnchor) {
    constexpr int32_t N = NX_LOG_NEW, C = NX_LOG_CHANGED, D = NX_LOG_DELETED, kNull = NX_LOG_TIME_NULL;
    const std::vector<Item> first = {{"AA", 1}, {"BB", 1}, {"CC", 1}},
                            edited = {{"AA", 2}, {"CC", 1}, {"DD", 1}};
    const Step steps[] = {
        {"a first read reports every item new", u"A1", first, {{"AA", N}, {"BB", N}, {"CC", N}}, 1},
        {"nothing changed, nothing staged", u"A1", first, {}, 0},
        {"edit one, delete one, add one", u"A1", edited, {{"AA", C}, {"BB", D}, {"DD", N}}, kNoCommit},
        {"uncommitted changes come again", u"A1", edited, {{"AA", C}, {"BB", D}, {"DD", N}}, 1},
        {"committed: nothing changed", u"A1", edited, {}, 0},
        {"a second anchor starts empty", u"A2", edited, {{"AA", N}, {"CC", N}, {"DD", N}}, 1},
        {"the first anchor is not moved by the second", u"A1", {{"AA", 2}, {"CC", 1}}, {{"DD", D}}, 1},
        {"nor the second by the first", u"A2", {{"AA", 2}, {"CC", 1}}, {{"DD", D}}, kNoCommit},
        {"an unconfirmed deletion of an item that is back: new again", u"A2", edited, {{"DD", N}}, 1},
        {"a status change is a change", u"A1", {{"AA", 2, kNull}, {"CC", 1}}, {{"AA", C}}, 1},
        {"a NaN time stays the same", u"A1", {{"AA", 2, kNull}, {"CC", NAN}}, {{"CC", C}}, 1},
        {"  ... on the next read", u"A1", {{"AA", 2, kNull}, {"CC", NAN}}, {}, 0},
        {"an empty snapshot deletes every item", u"A1", {}, {{"AA", D}, {"CC", D}}, 1},
        {"after that nothing is known", u"A1", {}, {}, 0},
    };
    std::map<std::u16string, std::map<std::u16string, Item>> committed;  // the model
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const Request request(step.anchor);
        CLogItemArray a;
        Fill(a, step.snapshot);
        const int32_t result = Read(a, request);
        if (step.changes.empty()) {
            EXPECT_LE(result, 0);
            EXPECT_EQ(a.GetSize(), static_cast<int64_t>(step.snapshot.size()))
                << "the snapshot stays as it was";
        } else {
            ASSERT_EQ(result, static_cast<int32_t>(step.changes.size()));
            ASSERT_EQ(a.GetSize(), result);
            std::map<std::string, int32_t> got;
            for (int64_t i = 0; i < a.GetSize(); ++i) {
                const std::u16string id(a.IdAt(i));
                got[std::string(id.begin(), id.end())] = a[i].lFlags;
                // Deleted entries carry the last known time, the others the snapshot's.
                const Item* want = nullptr;
                if (a[i].lFlags == NX_LOG_DELETED) {
                    want = &committed[step.anchor].at(id);
                } else {
                    for (const Item& s : step.snapshot)
                        if (U16(s.id) == id) want = &s;
                }
                ASSERT_NE(want, nullptr);
                EXPECT_TRUE(a[i].dtModified == want->time ||
                            (std::isnan(want->time) && std::isnan(a[i].dtModified)));
                EXPECT_EQ(a[i].lTimeStatus, want->status);
            }
            EXPECT_EQ(got, step.changes);
        }
        if (step.commit != kNoCommit) {
            EXPECT_EQ(api().commit(request.get()), step.commit);
            if (step.commit == 1) {
                auto& state = committed[step.anchor];
                state.clear();
                for (const Item& s : step.snapshot) state[U16(s.id)] = s;
            }
        }
    }
}

// The committed item count of every state against its rows.
void ExpectCountsMatchRows(const fs::path& db) {
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(
        sqlite3_prepare_v2(
            handle, "SELECT a.item_count, (SELECT count(*) FROM item i WHERE i.key=a.key) FROM anchor a", -1,
            &s, nullptr),
        SQLITE_OK);
    int states = 0;
    while (sqlite3_step(s) == SQLITE_ROW) {
        EXPECT_EQ(sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1)) << "state " << states;
        ++states;
    }
    EXPECT_GT(states, 0);
    sqlite3_finalize(s);
    sqlite3_close(handle);
}

TEST_F(DeltatrackAbiTest, AReadThatWasNotCommittedLosesNothing) {
    constexpr int32_t N = NX_LOG_NEW, C = NX_LOG_CHANGED, D = NX_LOG_DELETED;
    const Step steps[] = {
        {"A is committed", u"S", {{"A", 1}}, {{"A", N}}, 1},
        {"B and C added; the host fails after new B",
         u"S",
         {{"A", 1}, {"B", 1}, {"C", 1}},
         {{"B", N}, {"C", N}},
         kNoCommit},
        {"B deleted: its deletion comes with new C", u"S", {{"A", 1}, {"C", 1}}, {{"B", D}, {"C", N}}, 1},
        {"a complete read sends nothing again", u"S", {{"A", 1}, {"C", 1}}, {}, 0},
        {"A changed, not committed", u"S", {{"A", 2}, {"C", 1}}, {{"A", C}}, kNoCommit},
        {"A back at its committed time: changed again", u"S", {{"A", 1}, {"C", 1}}, {{"A", C}}, 1},
        {"A deleted, not committed", u"S", {{"C", 1}}, {{"A", D}}, kNoCommit},
        {"A back: new again", u"S", {{"A", 1}, {"C", 1}}, {{"A", N}}, 1},
        {"C deleted, not committed", u"S", {{"A", 1}}, {{"C", D}}, kNoCommit},
        {"  ... deleted again", u"S", {{"A", 1}}, {{"C", D}}, 1},
        {"D added, not committed", u"S", {{"A", 1}, {"D", 1}}, {{"D", N}}, kNoCommit},
        {"E added, not committed either",
         u"S",
         {{"A", 1}, {"D", 1}, {"E", 1}},
         {{"D", N}, {"E", N}},
         kNoCommit},
        {"D deleted: two unfinished reads on, still reported",
         u"S",
         {{"A", 1}, {"E", 1}},
         {{"D", D}, {"E", N}},
         1},
        {"another anchor's unfinished read", u"T", {{"A", 1}, {"B", 1}}, {{"A", N}, {"B", N}}, kNoCommit},
        {"does not touch the first anchor", u"S", {{"A", 1}, {"E", 1}}, {}, 0},
        {"its own next read reports B's deletion", u"T", {{"A", 1}}, {{"A", N}, {"B", D}}, 1},
        {"and then nothing", u"T", {{"A", 1}}, {}, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        const Request request(step.anchor);
        ExpectRead(request, step.snapshot, step.changes);
        if (step.commit != kNoCommit) {
            EXPECT_EQ(api().commit(request.get()), step.commit);
        }
    }
    ExpectCountsMatchRows(DbPath());
}

// A read that delivered all but a few entries (items it could not read) commits the rest: only
// those are reported again, and their later changes and deletions too.
TEST_F(DeltatrackAbiTest, AnUndeliveredEntryAloneStaysUnconfirmed) {
    constexpr int32_t N = NX_LOG_NEW, C = NX_LOG_CHANGED, D = NX_LOG_DELETED;
    const struct {
        const char* what;
        std::vector<Item> snapshot;
        std::map<std::string, int32_t> changes;
        std::vector<std::u16string> undelivered;
        int32_t commit;
    } steps[] = {
        {"A is committed", {{"A", 1}}, {{"A", N}}, {}, 1},
        {"B and C added; C not delivered", {{"A", 1}, {"B", 1}, {"C", 1}}, {{"B", N}, {"C", N}}, {u"C"}, 1},
        {"C alone again", {{"A", 1}, {"B", 1}, {"C", 1}}, {{"C", N}}, {}, 1},
        {"then nothing", {{"A", 1}, {"B", 1}, {"C", 1}}, {}, {}, 0},
        {"A and B changed; A not delivered", {{"A", 2}, {"B", 2}, {"C", 1}}, {{"A", C}, {"B", C}}, {u"A"}, 1},
        {"A deleted since: its deletion", {{"B", 2}, {"C", 1}}, {{"A", D}}, {}, 1},
        {"and nothing after it", {{"B", 2}, {"C", 1}}, {}, {}, 0},
        {"a name the difference lacks is ignored", {{"B", 2}, {"C", 2}}, {{"C", C}}, {u"Z"}, 1},
        {"so nothing stays", {{"B", 2}, {"C", 2}}, {}, {}, 0},
        {"every entry undelivered",
         {{"B", 3}, {"D", 1}},
         {{"B", C}, {"C", D}, {"D", N}},
         {u"B", u"C", u"D"},
         1},
        {"all of them again", {{"B", 3}, {"D", 1}}, {{"B", C}, {"C", D}, {"D", N}}, {}, 1},
        {"and then nothing", {{"B", 3}, {"D", 1}}, {}, {}, 0},
    };
    const Request request(u"U");
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        ExpectRead(request, step.snapshot, step.changes);
        std::vector<const NxJournalChar*> ids;
        for (const std::u16string& id : step.undelivered) ids.push_back(id.c_str());
        EXPECT_EQ(api().commitExcept(request.get(), ids.data(), static_cast<int32_t>(ids.size())),
                  step.commit);
        ExpectCountsMatchRows(DbPath());
    }
    // A list that is not one fails the commit and leaves the state.
    const NxJournalChar* const none[] = {nullptr};
    EXPECT_EQ(api().commitExcept(request.get(), nullptr, 1), -1);
    EXPECT_EQ(api().commitExcept(request.get(), none, 1), -1);
    EXPECT_EQ(api().commitExcept(request.get(), none, -1), -1);
    EXPECT_NE(NewDebugText().find("Deltatrack: CommitChangeLog: undelivered entry 0 has no identifier"),
              std::string::npos);
}

TEST_F(DeltatrackAbiTest, AJournalOfTheFirstLayoutIsUpgradedWithItsStagedRows) {
    if (std::endian::native != std::endian::little) GTEST_SKIP() << "the rows below are little-endian";
    // A journal as the first layout left it: A committed, a read that staged "new B" and was not
    // committed.
    fs::create_directories(DbPath().parent_path());
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
        const std::string a = "A", b = "B";
        const std::string sql =
            "PRAGMA journal_mode=WAL;"
            "CREATE TABLE anchor(key INTEGER PRIMARY KEY, category BLOB NOT NULL, source BLOB NOT NULL,"
            " anchor BLOB NOT NULL, generation INTEGER NOT NULL DEFAULT 0, item_count INTEGER NOT NULL "
            "DEFAULT 0,"
            " committed_at INTEGER, staged_base INTEGER, staged_count INTEGER, staged_at INTEGER,"
            " UNIQUE(category, source, anchor));"
            "CREATE TABLE item(key INTEGER NOT NULL, id BLOB NOT NULL, modified REAL, status INTEGER NOT "
            "NULL,"
            " PRIMARY KEY(key, id)) WITHOUT ROWID;"
            "CREATE TABLE staged(key INTEGER NOT NULL, id BLOB NOT NULL, modified REAL, status INTEGER NOT "
            "NULL,"
            " change INTEGER NOT NULL, PRIMARY KEY(key, id)) WITHOUT ROWID;"
            "PRAGMA application_id=1314409009; PRAGMA user_version=1;"
            "INSERT INTO anchor VALUES(1, CAST('contact' AS BLOB), CAST('pim' AS BLOB), CAST('old' AS BLOB),"
            " 1, 1, 0, 1, 1, 0);"
            "INSERT INTO item VALUES(1, X'4100', 1.0, 0);"        // "A" in UTF-16LE
            "INSERT INTO staged VALUES(1, X'4200', 1.0, 0, 8);";  // "B"
        ASSERT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
        sqlite3_close(db);
    }
    const Request request(u"old");
    CLogItemArray a;
    Fill(a, {{"A", 1}, {"C", 1}});
    ASSERT_EQ(Read(a, request), 2) << NewDebugText();
    EXPECT_EQ(FlagsById(a), (std::map<std::u16string, int32_t>{{u"B", NX_LOG_DELETED}, {u"C", NX_LOG_NEW}}));
    ASSERT_EQ(api().commit(request.get()), 1);
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &db), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), 4);
    sqlite3_finalize(s);
    sqlite3_close(db);
    ExpectCountsMatchRows(DbPath());
}

// The rows of a query, each as its columns' texts joined by '|' (an identifier's bytes as hex).
std::vector<std::string> Rows(const fs::path& db, const char* sql) {
    std::vector<std::string> out;
    sqlite3* handle = nullptr;
    EXPECT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    sqlite3_stmt* s = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(handle, sql, -1, &s, nullptr), SQLITE_OK) << sqlite3_errmsg(handle);
    while (s && sqlite3_step(s) == SQLITE_ROW) {
        std::string row;
        for (int c = 0; c < sqlite3_column_count(s); ++c) {
            if (c) row += '|';
            if (const unsigned char* text = sqlite3_column_text(s, c))
                row += reinterpret_cast<const char*>(text);
        }
        out.push_back(row);
    }
    sqlite3_finalize(s);
    sqlite3_close(handle);
    return out;
}

TEST_F(DeltatrackAbiTest, JournalsOfEarlierLayoutsAreUpgradedWithEveryIdentifierAndStagedEntry) {
    // Made by the libraries of layouts 2 and 3 (tests/journal/layout*_world/README.md say how), with
    // the same states under their own anchor: two states, one with a read that was not committed;
    // identifiers of ASCII units and beyond.
    for (const char* layout : {"layout2", "layout3"}) {
        SCOPED_TRACE(layout);
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(DbPath().string() + suffix);
        fs::create_directories(DbPath().parent_path());
        fs::copy_file(
            fs::path(NX_SOURCE_DIR) / "tests/journal" / (std::string(layout) + "_world") / "journal.db",
            DbPath());
        fs::permissions(DbPath(), fs::perms::owner_read | fs::perms::owner_write);
        const std::u16string anchor(layout, layout + std::strlen(layout));
        const std::u16string ascii1 = u"00000000ABCD0001", ascii2 = u"00000000ABCD0002",
                             ascii3 = u"00000000ABCD0003";
        const std::u16string gone = u"X\xD800Y", added = u"\u65B0-1";
        const auto fill = [&](CLogItemArray& a) {
            a.Add(ascii1, 45000.5, NX_LOG_TIME_VALID);
            a.Add(ascii2, 45009.0, NX_LOG_TIME_VALID);
            a.Add(ascii3, std::nan(""), NX_LOG_TIME_NULL);
            a.Add(u"Gr\u00FC\u00DFe-\u00E9t\u00E9", 45002.0, NX_LOG_TIME_VALID);
            a.Add(u"\u00FFA", 45004.0, NX_LOG_TIME_VALID);
            a.Add(u"\u4141", 45005.0, NX_LOG_TIME_VALID);
            a.Add(u"AA", 45006.0, NX_LOG_TIME_VALID);
            a.Add(added, 45010.0, NX_LOG_TIME_VALID);
        };
        // The same snapshot as the read that was not committed: its unconfirmed entries come again,
        // the unchanged items not.
        const Request contacts(anchor);
        CLogItemArray a;
        fill(a);
        ASSERT_EQ(Read(a, contacts), 3) << NewDebugText();
        EXPECT_EQ(FlagsById(a), (std::map<std::u16string, int32_t>{
                                    {ascii2, NX_LOG_CHANGED}, {gone, NX_LOG_DELETED}, {added, NX_LOG_NEW}}));
        ASSERT_EQ(api().commit(contacts.get()), 1);
        // Twice: the first read learns the new state's digest, the second reads by it.
        for (int again = 0; again < 2; ++again) {
            CLogItemArray same;
            fill(same);
            EXPECT_LE(Read(same, contacts), 0) << again;
        }
        const Request calendar(anchor, u"calendar", u"");
        CLogItemArray c;
        c.Add(u"00000000EF010001", 45100.0, NX_LOG_TIME_VALID);
        c.Add(u"\u00E9v\u00E9nement", 45101.0, NX_LOG_TIME_VALID);
        EXPECT_LE(Read(c, calendar), 0) << NewDebugText();

        EXPECT_EQ(Rows(DbPath(), "PRAGMA user_version"), std::vector<std::string>{"4"});
        // Upper-case hex texts as the bytes they spell, the others after a marker in UTF-16LE.
        EXPECT_EQ(Rows(DbPath(), "SELECT key, hex(id) FROM item ORDER BY key, id"),
                  (std::vector<std::string>{
                      "1|FE00000000ABCD0001", "1|FE00000000ABCD0002", "1|FE00000000ABCD0003", "1|FEAA",
                      "1|FF4141", "1|FF47007200FC00DF0065002D00E9007400E900", "1|FFB0652D003100",
                      "1|FFFF004100", "2|FE00000000EF010001", "2|FFE9007600E9006E0065006D0065006E007400"}));
        // Both states' digests learnt by the reads since.
        EXPECT_EQ(Rows(DbPath(), "SELECT length(state_digest) FROM anchor ORDER BY key"),
                  (std::vector<std::string>{"24", "24"}));
        ExpectCountsMatchRows(DbPath());
    }
}

TEST_F(DeltatrackAbiTest, CommittedStateSurvivesTheProcess) {
    const Request request(u"restart");
    // A child process reads and commits, then ends; this process sees its state.
    nx::test::Process child = nx::test::StartInChild([&] {
        CLogItemArray a;
        Fill(a, {{"AA", 1}, {"BB", 1}});
        return Read(a, request) == 2 && api().commit(request.get()) == 1 ? 0 : 1;
    });
    ASSERT_EQ(child.Wait(60), 0);
    CLogItemArray a;
    Fill(a, {{"AA", 1}, {"BB", 2}});
    ASSERT_EQ(Read(a, request), 1);
    EXPECT_EQ(FlagsById(a), (std::map<std::u16string, int32_t>{{u"BB", NX_LOG_CHANGED}}));
}

TEST_F(DeltatrackAbiTest, AJournalRemovedBetweenCallsIsNotSeenAnyMore) {
    // The library keeps the journal open between calls; it must notice the file is gone.
    const Request request(u"removed");
    CLogItemArray a;
    Fill(a, {{"AA", 1}});
    ASSERT_EQ(Read(a, request), 1);
    ASSERT_EQ(api().commit(request.get()), 1);
    fs::remove_all(DbPath().parent_path());
    CLogItemArray again;
    Fill(again, {{"AA", 1}});
    EXPECT_EQ(Read(again, request), 1) << "a new journal knows nothing";
    EXPECT_TRUE(fs::exists(DbPath()));
}

// The files of this process open in `folder` (their names).
std::vector<std::string> OpenFilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
        std::error_code failed;
        const fs::path target = fs::read_symlink(fd.path(), failed);
        if (!failed && target.parent_path() == folder) names.push_back(target.filename().string());
    }
    return names;
}

TEST_F(DeltatrackAbiTest, CloseChangeLogLeavesNoFileOpenAndTheNextCallOpensAgain) {
    const Request request(u"close");
    CLogItemArray a;
    Fill(a, {{"AA", 1}});
    ASSERT_EQ(Read(a, request), 1);
    const fs::path folder = fs::canonical(DbPath().parent_path());
    EXPECT_FALSE(OpenFilesIn(folder).empty()) << "kept open between calls";
    api().close();
    EXPECT_EQ(OpenFilesIn(folder), std::vector<std::string>{});
    api().close();  // closing a closed journal does nothing
    ASSERT_EQ(api().commit(request.get()), 1) << "the staged read survives the close";
    api().close();
    CLogItemArray again;
    Fill(again, {{"AA", 1}, {"BB", 1}});
    ASSERT_EQ(Read(again, request), 1);
    EXPECT_EQ(FlagsById(again), (std::map<std::u16string, int32_t>{{u"BB", NX_LOG_NEW}}));
}

TEST_F(DeltatrackAbiTest, DuplicateIdentifiersCountOnceWithTheFirstEntry) {
    const Request request(u"dup");
    CLogItemArray a;
    Fill(a, {{"AA", 1}, {"BB", 1}, {"AA", 7}, {"AA", 8}});
    ASSERT_EQ(Read(a, request), 2);
    EXPECT_EQ(FlagsById(a), (std::map<std::u16string, int32_t>{{u"AA", NX_LOG_NEW}, {u"BB", NX_LOG_NEW}}));
    EXPECT_EQ(a[0].dtModified, 1);
    ASSERT_EQ(api().commit(request.get()), 1);
    CLogItemArray again;
    Fill(again, {{"BB", 1}, {"AA", 1}, {"AA", 2}});
    EXPECT_LE(Read(again, request), 0);
}

TEST_F(DeltatrackAbiTest, TextsWithUnpairedSurrogatesAreKeptExactly) {
    const std::u16string odd{u'A', u'B', 0xD800, u'C'}, other{u'A', u'B', 0xDC00, u'C'};
    const Request request(u"anchor \xDFFF");
    CLogItemArray a;
    a.Add(odd, 1, 0);
    a.Add(other, 1, 0);
    ASSERT_EQ(Read(a, request), 2);
    ASSERT_EQ(api().commit(request.get()), 1);
    CLogItemArray again;
    again.Add(odd, 1, 0);
    ASSERT_EQ(Read(again, request), 1);
    EXPECT_EQ(FlagsById(again), (std::map<std::u16string, int32_t>{{other, NX_LOG_DELETED}}));
}

TEST_F(DeltatrackAbiTest, BadInputFailsWithAReasonAndLeavesTheArray) {
    CLogItemArray good;
    Fill(good, {{"AA", 1}});
    CLogItemArray nullId;
    Fill(nullId, {{"AA", 1}, {"BB", 1}});
    NxJournalChar* saved = nullId.get()->pData[1].pszId;
    nullId.get()->pData[1].pszId = nullptr;
    CLogItemArray tooLong;
    tooLong.Add(std::u16string(40000, u'A'), 1, 0);
    tagLogItemArray inconsistent{nullptr, 3, 0, 1};
    const std::u16string empty, contact = u"contact", pim = u"pim", anchor = u"x";
    const tagChangeRequest noCategory{nullptr, pim.c_str(), anchor.c_str()};
    const tagChangeRequest emptyCategory{empty.c_str(), pim.c_str(), anchor.c_str()};
    const tagChangeRequest emptyAnchor{contact.c_str(), pim.c_str(), empty.c_str()};
    const tagChangeRequest fine{contact.c_str(), pim.c_str(), anchor.c_str()};
    struct Case {
        const char* what;
        tagLogItemArray* array;
        const tagChangeRequest* request;
        const char* reason;
    } cases[] = {
        {"no array", nullptr, &fine, "no snapshot array"},
        {"no request", good.get(), nullptr, "no request"},
        {"no category", good.get(), &noCategory, "no category"},
        {"empty category", good.get(), &emptyCategory, "category is empty"},
        {"empty anchor", good.get(), &emptyAnchor, "anchor is empty"},
        {"size beyond capacity", &inconsistent, &fine, "inconsistent"},
        {"an entry without identifier", nullId.get(), &fine, "entry 1 has no identifier"},
        {"an identifier too long", tooLong.get(), &fine, "too long"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::size_t at = DebugText().size();
        const int64_t size = c.array ? c.array->nSize : 0;
        EXPECT_EQ(api().get(c.array, c.request), 0);
        if (c.array) {
            EXPECT_EQ(c.array->nSize, size);
        }
        EXPECT_NE(DebugText().substr(at).find(c.reason), std::string::npos) << DebugText().substr(at);
    }
    nullId.get()->pData[1].pszId = saved;
    EXPECT_EQ(api().commit(nullptr), -1);
    EXPECT_EQ(api().commit(&emptyAnchor), -1);
    EXPECT_EQ(api().commit(&fine), 0) << "nothing staged";
}

TEST_F(DeltatrackAbiTest, AFileThatIsNotAJournalIsReportedAndLeftAlone) {
    const auto sqliteFile = [](const char* sql) {
        return [sql](const fs::path& p) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(p.c_str(), &db), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        };
    };
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> make;
        const char* reason;
    } cases[] = {
        {"another program's database", sqliteFile("CREATE TABLE notes(x); INSERT INTO notes VALUES(1)"),
         "another program"},
        {"a journal of a newer layout",
         sqliteFile("PRAGMA application_id=1314409009; PRAGMA user_version=7; CREATE TABLE anchor(x)"),
         "layout 7"},
        {"random bytes", [](const fs::path& p) { std::ofstream(p) << std::string(8192, '\x5A'); },
         "not a change journal"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(DbPath().parent_path());
        fs::create_directories(DbPath().parent_path());
        c.make(DbPath());
        const std::string before = nx::test::ReadWholeFile(DbPath());
        const std::size_t at = DebugText().size();
        CLogItemArray a;
        Fill(a, {{"AA", 1}});
        EXPECT_EQ(Read(a, Request(u"x")), 0);
        EXPECT_EQ(a.GetSize(), 1);
        EXPECT_EQ(api().commit(Request(u"x").get()), -1);
        EXPECT_NE(DebugText().substr(at).find(c.reason), std::string::npos) << DebugText().substr(at);
        EXPECT_EQ(nx::test::ReadWholeFile(DbPath()), before);
    }
}

TEST_F(DeltatrackAbiTest, AnUnusableDataFolderFailsTheRead) {
    // The data folder is a file: nothing can be created below it.
    std::ofstream(m_world.Root() / "plain-file") << "x";
    m_world.SetEnv("XDG_DATA_HOME", (m_world.Root() / "plain-file").string());
    CLogItemArray a;
    Fill(a, {{"AA", 1}});
    EXPECT_EQ(Read(a, Request(u"x")), 0);
    EXPECT_NE(NewDebugText().find("Deltatrack: GetChangeLog: "), std::string::npos);
}

TEST_F(DeltatrackAbiTest, AReadOnlyJournalFolderFailsOnlyWhatMustWrite) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    CLogItemArray a;
    Fill(a, {{"AA", 1}});
    ASSERT_EQ(Read(a, Request(u"x")), 1);
    ASSERT_EQ(api().commit(Request(u"x").get()), 1);
    fs::permissions(DbPath(), fs::perms::owner_read);
    CLogItemArray b;
    Fill(b, {{"AA", 2}});
    EXPECT_EQ(Read(b, Request(u"x")), 0);
    EXPECT_EQ(b.GetSize(), 1);
}

TEST_F(DeltatrackAbiTest, TheJournalIsPrivateToItsUser) {
    CLogItemArray a;
    Fill(a, {{"AA", 1}});
    ASSERT_EQ(Read(a, Request(u"x")), 1);
    EXPECT_EQ(fs::status(DbPath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(fs::status(DbPath().parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
}

}  // namespace
}  // namespace nx::test
