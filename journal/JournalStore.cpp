#include "journal/JournalStore.h"

#include <sqlite3.h>

#include <cassert>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "platform/system/Files.h"
#include "platform/system/Paths.h"

namespace nx::journal {
namespace {

// "NXJ1" in the header's application id marks a file as ours; a database without it is
// another program's and is never written to.
constexpr int32_t kApplicationId = 0x4E584A31;
constexpr int32_t kLayoutVersion = 1;
// Every wait on another process (the tool, a second agent) is bounded.
constexpr int kBusyTimeoutMs = 5000;

constexpr const char* kSchema = R"(
CREATE TABLE anchor(
  key INTEGER PRIMARY KEY,
  category BLOB NOT NULL,
  source BLOB NOT NULL,
  anchor BLOB NOT NULL,
  generation INTEGER NOT NULL DEFAULT 0,
  item_count INTEGER NOT NULL DEFAULT 0,
  committed_at INTEGER,
  staged_base INTEGER,
  staged_count INTEGER,
  staged_at INTEGER,
  UNIQUE(category, source, anchor));
CREATE TABLE item(
  key INTEGER NOT NULL,
  id BLOB NOT NULL,
  modified REAL,
  status INTEGER NOT NULL,
  PRIMARY KEY(key, id)) WITHOUT ROWID;
CREATE TABLE staged(
  key INTEGER NOT NULL,
  id BLOB NOT NULL,
  modified REAL,
  status INTEGER NOT NULL,
  change INTEGER NOT NULL,
  PRIMARY KEY(key, id)) WITHOUT ROWID;
)";

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
    throw JournalError(what + ": " + (db ? sqlite3_errmsg(db) : "no database"));
}

void Exec(sqlite3* db, const char* sql) {
    if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(db, sql);
}

class Statement {
public:
    Statement(sqlite3* db, const char* sql) : m_db(db) {
        if (sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr) != SQLITE_OK) Fail(db, "prepare");
    }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(m_stmt); }

    Statement& Bind(int i, int64_t v) { return Check(sqlite3_bind_int64(m_stmt, i, v)); }
    Statement& Bind(int i, std::string_view bytes) {
        return Check(
            sqlite3_bind_blob64(m_stmt, i, bytes.empty() ? "" : bytes.data(), bytes.size(), SQLITE_STATIC));
    }
    Statement& Bind(int i, std::u16string_view id) {
        return Bind(i,
                    std::string_view(reinterpret_cast<const char*>(id.data()), id.size() * sizeof(char16_t)));
    }
    // A NaN time is stored as NULL (SQLite's own conversion) and reads back as NaN.
    Statement& Bind(int i, const ItemTime& t) {
        Check(std::isnan(t.value) ? sqlite3_bind_null(m_stmt, i) : sqlite3_bind_double(m_stmt, i, t.value));
        return Bind(i + 1, static_cast<int64_t>(t.status));
    }
    bool Step() {
        const int rc = sqlite3_step(m_stmt);
        if (rc == SQLITE_ROW) return true;
        if (rc != SQLITE_DONE) Fail(m_db, "step");
        return false;
    }
    void Run() {
        while (Step()) {
        }
        sqlite3_reset(m_stmt);
    }
    int64_t Int(int col) const { return sqlite3_column_int64(m_stmt, col); }
    bool IsNull(int col) const { return sqlite3_column_type(m_stmt, col) == SQLITE_NULL; }
    std::optional<int64_t> MaybeInt(int col) const {
        return IsNull(col) ? std::nullopt : std::optional<int64_t>(Int(col));
    }
    std::string Bytes(int col) const {
        const void* p = sqlite3_column_blob(m_stmt, col);
        return std::string(static_cast<const char*>(p),
                           p ? static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, col)) : 0);
    }
    // The identifier of column `col` as stored (UTF-16 units' bytes; SQLite's buffer, valid until
    // the next step).
    std::string_view IdBytes(int col) const {
        const void* p = sqlite3_column_blob(m_stmt, col);
        const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, col));
        if (bytes % sizeof(char16_t)) throw JournalError("damaged journal: an identifier of odd length");
        return {p ? static_cast<const char*>(p) : "", bytes};
    }
    // The identifier of column `col`, copied into `to` (blob data need not be aligned for char16_t).
    void Id(int col, std::u16string& to) const {
        const void* p = sqlite3_column_blob(m_stmt, col);
        const auto bytes = static_cast<std::size_t>(sqlite3_column_bytes(m_stmt, col));
        if (bytes % sizeof(char16_t)) throw JournalError("damaged journal: an identifier of odd length");
        to.resize(bytes / sizeof(char16_t));
        if (bytes) std::memcpy(to.data(), p, bytes);
    }
    ItemTime Time(int col) const {
        ItemTime t;
        t.value = IsNull(col) ? std::numeric_limits<double>::quiet_NaN() : sqlite3_column_double(m_stmt, col);
        const int64_t status = Int(col + 1);
        t.status = static_cast<int32_t>(status);
        return t;
    }

private:
    Statement& Check(int rc) {
        if (rc != SQLITE_OK) Fail(m_db, "bind");
        return *this;
    }
    sqlite3* m_db;
    sqlite3_stmt* m_stmt = nullptr;
};

// BEGIN IMMEDIATE ... COMMIT; rolled back when left uncommitted.
class WriteTransaction {
public:
    explicit WriteTransaction(sqlite3* db) : m_db(db) { Exec(db, "BEGIN IMMEDIATE"); }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;
    ~WriteTransaction() {
        if (!m_done) sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() {
        Exec(m_db, "COMMIT");
        m_done = true;
    }

private:
    sqlite3* m_db;
    bool m_done = false;
};

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t PragmaInt(sqlite3* db, const char* sql) {
    Statement s(db, sql);
    return s.Step() ? s.Int(0) : 0;
}

struct AnchorRow {
    int64_t key = 0;
    int64_t generation = 0;
    std::optional<int64_t> stagedBase;
};

std::optional<AnchorRow> FindAnchor(sqlite3* db, const JournalKey& key) {
    Statement s(
        db, "SELECT key, generation, staged_base FROM anchor WHERE category=?1 AND source=?2 AND anchor=?3");
    s.Bind(1, std::string_view(key.category))
        .Bind(2, std::string_view(key.source))
        .Bind(3, std::string_view(key.anchor));
    if (!s.Step()) return std::nullopt;
    return AnchorRow{s.Int(0), s.Int(1), s.MaybeInt(2)};
}

void DropStaged(sqlite3* db, int64_t key) {
    Statement(db, "DELETE FROM staged WHERE key=?1").Bind(1, key).Run();
    Statement(db, "UPDATE anchor SET staged_base=NULL, staged_count=NULL, staged_at=NULL WHERE key=?1")
        .Bind(1, key)
        .Run();
}

}  // namespace

std::string DefaultJournalPath() {
    const std::string base = nx::sys::RoamingAppDataFolder();
    if (base.empty()) return {};
    const std::string folder = nx::sys::JoinPath(base, "nxjournal");
    nx::sys::CreateDirectoryWithParents(folder);  // private (0700), like everything the agent makes
    return nx::sys::JoinPath(folder, "journal.db");
}

JournalStore::JournalStore(const std::string& path, bool create) {
    if (path.empty()) throw JournalError("no journal location (neither XDG_DATA_HOME nor HOME is usable)");
    // The file is made private before SQLite sees it (SQLite gives its -wal and -shm files the
    // database file's permissions).
    if (create) nx::sys::CreatePrivateFileIfMissing(path);
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW;
    if (create) flags |= SQLITE_OPEN_CREATE;
    const int rc = sqlite3_open_v2(path.c_str(), &m_db, flags, nullptr);
    if (rc != SQLITE_OK) {
        const std::string why = m_db ? sqlite3_errmsg(m_db) : sqlite3_errstr(rc);
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw JournalError("cannot open " + path + ": " + why);
    }
    try {
        sqlite3_extended_result_codes(m_db, 1);
        sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
        // Each call opens the file anew; a checkpoint (and its fsync) at every close would cost
        // more than the read. The WAL is checkpointed as it grows instead.
        sqlite3_db_config(m_db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        // Identify the file before anything writes to it (switching to WAL writes the header).
        int64_t appId = 0;
        try {
            appId = PragmaInt(m_db, "PRAGMA application_id");
        } catch (const JournalError& e) {
            throw JournalError(path + " is not a change journal and is left untouched (" + e.what() + ")");
        }
        if (appId == 0 && PragmaInt(m_db, "SELECT count(*) FROM sqlite_schema") == 0) {
            WriteTransaction txn(m_db);
            // Another process may have set the file up meanwhile.
            if (PragmaInt(m_db, "PRAGMA application_id") == 0) {
                Exec(m_db, kSchema);
                Exec(m_db, ("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
                Exec(m_db, ("PRAGMA user_version=" + std::to_string(kLayoutVersion)).c_str());
            }
            txn.Commit();
            appId = PragmaInt(m_db, "PRAGMA application_id");
        }
        if (appId != kApplicationId)
            throw JournalError(path + " is another program's database, not a change journal; left untouched");
        const int64_t version = PragmaInt(m_db, "PRAGMA user_version");
        if (version != kLayoutVersion)
            throw JournalError(path + " has journal layout " + std::to_string(version) +
                               ", this library reads " + std::to_string(kLayoutVersion) + "; left untouched");
        Exec(m_db, "PRAGMA journal_mode=WAL");
        // In WAL mode NORMAL loses no commit to a killed process; a power cut may take back the
        // last commits, and a commit taken back only means changes are reported again.
        Exec(m_db, "PRAGMA synchronous=NORMAL");
        // A change read scans a whole state: mapped pages spare a copy of each.
        Exec(m_db, "PRAGMA mmap_size=268435456");
    } catch (...) {
        sqlite3_close_v2(m_db);
        m_db = nullptr;
        throw;
    }
}

JournalStore::~JournalStore() {
    sqlite3_close_v2(m_db);
}

void JournalStore::Stage(const JournalKey& key, const tagLogItemArray& snapshot, ChangeDetector& changes,
                         ChangeListWriter& writer) {
    assert(changes.Size() == static_cast<std::size_t>(snapshot.nSize));
    WriteTransaction txn(m_db);
    const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
    if (anchor) {
        Statement s(m_db, "SELECT id, modified, status FROM item WHERE key=?1");
        s.Bind(1, anchor->key);
        while (s.Step()) changes.Known(s.IdBytes(0), s.Time(1));
    }
    changes.Finish();
    const std::size_t count = changes.ChangeCount();
    if (count == 0) {
        if (anchor && anchor->stagedBase) {
            DropStaged(m_db, anchor->key);
            txn.Commit();
        }
        return;
    }
    if (count > static_cast<std::size_t>(INT32_MAX))
        throw JournalError("the change list would exceed 2^31-1 entries");
    if (!writer.Prepare(snapshot, changes)) throw JournalError("out of memory for the change list");

    int64_t keyId = 0, generation = 0;
    if (anchor) {
        keyId = anchor->key;
        generation = anchor->generation;
        Statement(m_db, "DELETE FROM staged WHERE key=?1").Bind(1, keyId).Run();
    } else {
        Statement(m_db, "INSERT INTO anchor(category, source, anchor) VALUES(?1, ?2, ?3)")
            .Bind(1, std::string_view(key.category))
            .Bind(2, std::string_view(key.source))
            .Bind(3, std::string_view(key.anchor))
            .Run();
        keyId = sqlite3_last_insert_rowid(m_db);
    }
    Statement add(m_db, "INSERT INTO staged(key, id, modified, status, change) VALUES(?1, ?2, ?3, ?4, ?5)");
    add.Bind(1, keyId);
    for (std::size_t i = 0; i < changes.Size(); ++i) {
        const EntryChange c = changes.At(i);
        if (c != EntryChange::New && c != EntryChange::Changed) continue;
        const tagLogItem& item = snapshot.pData[i];
        add.Bind(2, changes.IdAt(i))
            .Bind(3, ItemTime{item.dtModified, item.lTimeStatus})
            .Bind(5, static_cast<int64_t>(c == EntryChange::New ? NX_LOG_NEW : NX_LOG_CHANGED))
            .Run();
    }
    for (const DeletedItem& gone : changes.Deleted())
        add.Bind(2, std::u16string_view(gone.id))
            .Bind(3, gone.time)
            .Bind(5, static_cast<int64_t>(NX_LOG_DELETED))
            .Run();
    Statement(m_db, "UPDATE anchor SET staged_base=?2, staged_count=?3, staged_at=?4 WHERE key=?1")
        .Bind(1, keyId)
        .Bind(2, generation)
        .Bind(3, static_cast<int64_t>(count))
        .Bind(4, NowMs())
        .Run();
    txn.Commit();
}

bool JournalStore::Commit(const JournalKey& key) {
    WriteTransaction txn(m_db);
    const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
    if (!anchor || !anchor->stagedBase) return false;
    if (*anchor->stagedBase != anchor->generation) {
        // Computed against a state that has moved on since: applying it would corrupt the state.
        DropStaged(m_db, anchor->key);
        txn.Commit();
        return false;
    }
    const int64_t k = anchor->key;
    Statement(m_db,
              "UPDATE anchor SET item_count = item_count"
              " + (SELECT count(*) FROM staged WHERE key=?1 AND change=8)"
              " - (SELECT count(*) FROM staged WHERE key=?1 AND change=32),"
              " generation=generation+1, committed_at=?2 WHERE key=?1")
        .Bind(1, k)
        .Bind(2, NowMs())
        .Run();
    Statement(m_db,
              "INSERT OR REPLACE INTO item(key, id, modified, status)"
              " SELECT key, id, modified, status FROM staged WHERE key=?1 AND change!=32")
        .Bind(1, k)
        .Run();
    Statement(m_db,
              "DELETE FROM item WHERE key=?1 AND id IN (SELECT id FROM staged WHERE key=?1 AND change=32)")
        .Bind(1, k)
        .Run();
    DropStaged(m_db, k);
    txn.Commit();
    Checkpoint();
    return true;
}

void JournalStore::Checkpoint() noexcept {
    // A commit is rare (once per synchronisation) and a change read scans the whole state: the
    // read goes faster from the database file (mapped) than through the WAL's frames, so the
    // WAL is folded back and emptied after each commit. It never waits: while another process
    // reads, the checkpoint is left to a later commit.
    sqlite3_busy_timeout(m_db, 0);
    sqlite3_wal_checkpoint_v2(m_db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
}

std::vector<AnchorInfo> JournalStore::Anchors() {
    std::vector<AnchorInfo> out;
    Statement s(
        m_db,
        "SELECT category, source, anchor, item_count, committed_at, staged_count, staged_at FROM anchor"
        " ORDER BY category, source, anchor");
    while (s.Step()) {
        AnchorInfo a;
        a.key = JournalKey{s.Bytes(0), s.Bytes(1), s.Bytes(2)};
        a.itemCount = s.Int(3);
        a.committedAt = s.MaybeInt(4);
        a.stagedChanges = s.MaybeInt(5);
        a.stagedAt = s.MaybeInt(6);
        out.push_back(std::move(a));
    }
    return out;
}

namespace {

std::vector<StoredItem> ReadItems(sqlite3* db, const JournalKey& key, const char* sql) {
    std::vector<StoredItem> out;
    const std::optional<AnchorRow> anchor = FindAnchor(db, key);
    if (!anchor) return out;
    Statement s(db, sql);
    s.Bind(1, anchor->key);
    while (s.Step()) {
        StoredItem item;
        s.Id(0, item.id);
        item.time = s.Time(1);
        item.change = static_cast<int32_t>(s.Int(3));
        out.push_back(std::move(item));
    }
    return out;
}

}  // namespace

std::vector<StoredItem> JournalStore::CommittedItems(const JournalKey& key) {
    return ReadItems(m_db, key, "SELECT id, modified, status, 0 FROM item WHERE key=?1 ORDER BY id");
}

std::vector<StoredItem> JournalStore::StagedItems(const JournalKey& key) {
    return ReadItems(m_db, key, "SELECT id, modified, status, change FROM staged WHERE key=?1 ORDER BY id");
}

bool JournalStore::Forget(const JournalKey& key) {
    WriteTransaction txn(m_db);
    const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
    if (!anchor) return false;
    for (const char* sql : {"DELETE FROM item WHERE key=?1", "DELETE FROM staged WHERE key=?1",
                            "DELETE FROM anchor WHERE key=?1"})
        Statement(m_db, sql).Bind(1, anchor->key).Run();
    txn.Commit();
    Checkpoint();
    return true;
}

std::string JournalStore::IntegrityCheck() {
    std::string out;
    Statement s(m_db, "PRAGMA integrity_check");
    while (s.Step()) {
        if (!out.empty()) out += '\n';
        out += s.Bytes(0);
    }
    return out;
}

}  // namespace nx::journal
