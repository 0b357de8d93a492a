#include "journal/JournalStore.h"

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
// Layout 4: each state's digest (StateDigest) beside it, so that a change read that finds its
// snapshot's digest there reads no item row. Layout 3: identifiers in their stored form (StoredId:
// an entry-id text in a quarter of its UTF-16 bytes), so a change read scans about 60 % of the
// bytes. Layouts 1 and 2 have the same tables with identifiers as their UTF-16 units in the
// machine's byte order; layout 2 made the staged difference part of the base of the next one
// (unconfirmed entries), which a layout-1 file's staged rows already are. Each is upgraded in
// place when opened. A library of an earlier layout refuses a file of this one: it would change
// a state without its digest.
constexpr int32_t kLayoutVersion = 4;
constexpr int32_t kOldestUpgradableLayout = 1;
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
  state_digest BLOB,
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

using nx::sqlite::Connection;
using nx::sqlite::Statement;
using nx::sqlite::Transaction;

// The one place where a SQLite failure becomes the journal's own: a JournalError that says what
// the journal was doing and SQLite's reason.
template <class Work>
auto Mapped(const std::string& doing, Work&& work) -> decltype(work()) {
    try {
        return work();
    } catch (const nx::sqlite::Error& e) {
        throw JournalError(doing + ": " + e.what());
    }
}

// An identifier in its stored form (a copy: deletions and commit exceptions only; the snapshot's
// entries are bound from the detector's stored-form copy, without one).
void BindId(Statement& s, int i, std::u16string_view id) {
    s.BindBlob(i, StoredId(id));
}

// A time takes two parameters, value and status. A NaN value is stored as NULL (SQLite's own
// conversion) and reads back as NaN.
void BindTime(Statement& s, int i, const ItemTime& t) {
    if (std::isnan(t.value)) {
        s.BindNull(i);
    } else {
        s.BindDouble(i, t.value);
    }
    s.Bind(i + 1, static_cast<int64_t>(t.status));
}

ItemTime TimeAt(const Statement& s, int col) {
    ItemTime t;
    t.value = s.Double(col);
    // A null reads as 0.0, so only a zero asks the column's type (a call fewer for every other row).
    if (t.value == 0.0 && s.IsNull(col)) t.value = std::numeric_limits<double>::quiet_NaN();
    t.status = static_cast<int32_t>(s.Int(col + 1));
    return t;
}

std::optional<int64_t> MaybeIntAt(const Statement& s, int col) {
    return s.IsNull(col) ? std::nullopt : std::optional<int64_t>(s.Int(col));
}

// The identifier of column `col` in its stored form (SQLite's buffer, valid until the next step).
// The detector checks the form of those it reads back (the deleted ones); the others matched a
// snapshot's identifier, so they are sound.
std::string_view IdBytesAt(const Statement& s, int col) {
    return s.Blob(col);
}

// The identifier of column `col`, decoded into `to`.
void IdAt(const Statement& s, int col, std::u16string& to) {
    if (!ReadStoredId(s.Blob(col), to))
        throw JournalError("damaged journal: an identifier in neither stored form");
}

// Rewrites the identifiers of `table` (item or staged) from their UTF-16 bytes (layouts 1 and 2)
// into their stored form. Through a temporary copy: an old form may equal another row's new one
// (the two bytes "AB" are the old form of U+4241), so no row is rewritten where it stands.
void StoreIdsOf(Connection& db, const std::string& table) {
    db.Exec(("CREATE TEMP TABLE old_rows AS SELECT * FROM " + table).c_str());
    db.Exec(("DELETE FROM " + table).c_str());
    // The columns after the identifier are copied as they are (staged has one more).
    const bool staged = table == "staged";
    Statement read(db, staged ? "SELECT key, id, modified, status, change FROM temp.old_rows"
                              : "SELECT key, id, modified, status, 0 FROM temp.old_rows");
    Statement write(
        db, staged ? "INSERT INTO staged(key, id, modified, status, change) VALUES(?1, ?2, ?3, ?4, ?5)"
                   : "INSERT INTO item(key, id, modified, status) VALUES(?1, ?2, ?3, ?4)");
    std::u16string id;
    while (read.Step()) {
        const std::string_view old = read.Blob(1);
        if (old.size() % sizeof(char16_t))
            throw JournalError("damaged journal: an identifier of odd length in " + table);
        id.resize(old.size() / sizeof(char16_t));
        if (!old.empty()) std::memcpy(id.data(), old.data(), old.size());  // blob data need not be aligned
        write.Bind(1, read.Int(0));
        BindId(write, 2, id);
        if (read.IsNull(2)) {
            write.BindNull(3);
        } else {
            write.BindDouble(3, read.Double(2));
        }
        write.Bind(4, read.Int(3));
        if (staged) write.Bind(5, read.Int(4));
        write.Run();
    }
    db.Exec("DROP TABLE temp.old_rows");
}

int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

int64_t PragmaInt(Connection& db, const char* sql) {
    Statement s(db, sql);
    return s.Step() ? s.Int(0) : 0;
}

struct AnchorRow {
    int64_t key = 0;
    int64_t generation = 0;
    std::optional<int64_t> stagedBase;
    int64_t itemCount = 0;
    // The digest of the committed state; none: not known (not learnt since the state last
    // changed), or unreadable, which is the same to a reader.
    std::optional<StateDigest> digest;
};

std::optional<AnchorRow> FindAnchor(Connection& db, const JournalKey& key) {
    Statement s(db,
                "SELECT key, generation, staged_base, item_count, state_digest FROM anchor"
                " WHERE category=?1 AND source=?2 AND anchor=?3");
    s.BindBlob(1, key.category).BindBlob(2, key.source).BindBlob(3, key.anchor);
    if (!s.Step()) return std::nullopt;
    AnchorRow row{s.Int(0), s.Int(1), MaybeIntAt(s, 2), s.Int(3), std::nullopt};
    if (StateDigest d; !s.IsNull(4) && StateDigest::FromBytes(s.Blob(4), d)) row.digest = d;
    return row;
}

// Whether a snapshot with the anchor's digest is its committed state: nothing staged, and a digest
// whose count is the state's (counted apart, so that a digest damaged into zeros does not pass for
// an empty snapshot's).
bool PassesByDigest(const AnchorRow& anchor) {
    return !anchor.stagedBase && anchor.digest &&
           anchor.digest->count == static_cast<uint64_t>(anchor.itemCount);
}

void DropStaged(Connection& db, int64_t key) {
    Statement(db, "DELETE FROM staged WHERE key=?1").Bind(1, key).Run();
    Statement(db, "UPDATE anchor SET staged_base=NULL, staged_count=NULL, staged_at=NULL WHERE key=?1")
        .Bind(1, key)
        .Run();
}

std::vector<StoredItem> ReadItems(Connection& db, const JournalKey& key, const char* sql) {
    std::vector<StoredItem> out;
    const std::optional<AnchorRow> anchor = FindAnchor(db, key);
    if (!anchor) return out;
    Statement s(db, sql);
    s.Bind(1, anchor->key);
    while (s.Step()) {
        StoredItem item;
        IdAt(s, 0, item.id);
        item.time = TimeAt(s, 1);
        item.change = static_cast<int32_t>(s.Int(3));
        out.push_back(std::move(item));
    }
    return out;
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
    nx::sqlite::OpenOptions options;
    options.create = create;
    options.busyTimeoutMs = kBusyTimeoutMs;
    // Each call opens the file anew; a checkpoint (and its fsync) at every close would cost
    // more than the read. The WAL is checkpointed as it grows instead.
    options.checkpointOnClose = false;
    Mapped("cannot open " + path, [&] { m_db.Open(path, options); });
    // Identify the file before anything writes to it (switching to WAL writes the header).
    int64_t appId = 0;
    try {
        appId = PragmaInt(m_db, "PRAGMA application_id");
    } catch (const nx::sqlite::Error& e) {
        throw JournalError(path + " is not a change journal and is left untouched (" + e.what() + ")");
    }
    Mapped("cannot set up " + path, [&] {
        if (appId == 0 && PragmaInt(m_db, "SELECT count(*) FROM sqlite_schema") == 0) {
            Transaction txn(m_db);
            // Another process may have set the file up meanwhile.
            if (PragmaInt(m_db, "PRAGMA application_id") == 0) {
                m_db.Exec(kSchema);
                m_db.Exec(("PRAGMA application_id=" + std::to_string(kApplicationId)).c_str());
                m_db.Exec(("PRAGMA user_version=" + std::to_string(kLayoutVersion)).c_str());
            }
            txn.Commit();
            appId = PragmaInt(m_db, "PRAGMA application_id");
        }
        if (appId != kApplicationId)
            throw JournalError(path + " is another program's database, not a change journal; left untouched");
        int64_t version = PragmaInt(m_db, "PRAGMA user_version");
        if (version >= kOldestUpgradableLayout && version < kLayoutVersion) {
            // One transaction for every step: a process killed meanwhile leaves the old layout,
            // whole, upgraded at the next open.
            Transaction txn(m_db);
            // Another process may have upgraded it meanwhile.
            if (PragmaInt(m_db, "PRAGMA user_version") == version) {
                if (version < 3) {
                    StoreIdsOf(m_db, "item");
                    StoreIdsOf(m_db, "staged");
                }
                // No state's digest is known yet: the next read of each learns it.
                m_db.Exec("ALTER TABLE anchor ADD COLUMN state_digest BLOB");
                m_db.Exec(("PRAGMA user_version=" + std::to_string(kLayoutVersion)).c_str());
            }
            txn.Commit();
            version = PragmaInt(m_db, "PRAGMA user_version");
        }
        if (version != kLayoutVersion)
            throw JournalError(path + " has journal layout " + std::to_string(version) +
                               ", this library reads " + std::to_string(kLayoutVersion) + "; left untouched");
        m_db.Exec("PRAGMA journal_mode=WAL");
        // In WAL mode NORMAL loses no commit to a killed process; a power cut may take back the
        // last commits, and a commit taken back only means changes are reported again.
        m_db.Exec("PRAGMA synchronous=NORMAL");
        // A change read scans a whole state: mapped pages spare a copy of each.
        m_db.Exec("PRAGMA mmap_size=268435456");
    });
}

JournalStore::~JournalStore() = default;

void JournalStore::Stage(const JournalKey& key, const tagLogItemArray& snapshot, ChangeDetector& changes,
                         ChangeListWriter& writer) {
    assert(changes.Size() == static_cast<std::size_t>(snapshot.nSize));
    Mapped("cannot stage the changes", [&] {
        Transaction txn(m_db);
        const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
        // A snapshot whose digest is the committed state's, with nothing staged, is that state:
        // nothing changed, and no item row need be read (the usual change read). The snapshot's
        // digest costs a hash of each of its items; the rows it spares cost several times that.
        if (anchor && PassesByDigest(*anchor) && *anchor->digest == changes.SnapshotDigest()) {
            changes.AllUnchanged();
            return;  // nothing written: the transaction ends unused
        }
        // The base of the difference: the committed state, and the staged difference of a read
        // that was not committed in place of its items' committed rows (see docs/journal.md).
        if (anchor && anchor->stagedBase) {
            // The unconfirmed entries first: the detector then passes over their items' committed
            // rows itself (a set of them beside it had cost a second hash of every row).
            Statement u(m_db, "SELECT id, modified, status, change FROM staged WHERE key=?1");
            u.Bind(1, anchor->key);
            while (u.Step()) {
                const int64_t change = u.Int(3);
                if (change != NX_LOG_NEW && change != NX_LOG_CHANGED && change != NX_LOG_DELETED)
                    throw JournalError("damaged journal: a staged entry with change " +
                                       std::to_string(change));
                changes.Unconfirmed(IdBytesAt(u, 0), TimeAt(u, 1), static_cast<int32_t>(change));
            }
        }
        if (anchor) {
            Statement s(m_db, "SELECT id, modified, status FROM item WHERE key=?1");
            s.Bind(1, anchor->key);
            while (s.Step()) changes.Known(IdBytesAt(s, 0), TimeAt(s, 1));
        }
        changes.Finish();
        const std::size_t count = changes.ChangeCount();
        if (count == 0) {
            if (!anchor) return;
            if (anchor->stagedBase) DropStaged(m_db, anchor->key);
            // Nothing reported, so no entry was unconfirmed and every row met its item at the same
            // time: the committed state is the snapshot's items, and, with no identifier twice,
            // its digest the snapshot's. Learnt so (the first read after a commit, which clears
            // it, or an upgrade), or put right (a damaged one).
            const bool learn = changes.Duplicates() == 0 && anchor->digest != changes.SnapshotDigest();
            if (learn)
                Statement(m_db, "UPDATE anchor SET state_digest=?2 WHERE key=?1")
                    .Bind(1, anchor->key)
                    .BindBlob(2, changes.SnapshotDigest().Bytes())
                    .Run();
            if (anchor->stagedBase || learn) txn.Commit();
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
                .BindBlob(1, key.category)
                .BindBlob(2, key.source)
                .BindBlob(3, key.anchor)
                .Run();
            keyId = m_db.LastInsertId();
        }
        Statement add(m_db,
                      "INSERT INTO staged(key, id, modified, status, change) VALUES(?1, ?2, ?3, ?4, ?5)");
        add.Bind(1, keyId);
        // Run keeps the bindings: each entry rebinds parameters 2 to 5 only.
        for (std::size_t i = 0; i < changes.Size(); ++i) {
            const int32_t flag = ReportedFlag(changes.At(i));
            if (flag == 0) continue;
            const tagLogItem& item = snapshot.pData[i];
            add.BindBlobRef(2, changes.StoredIdAt(i));
            BindTime(add, 3, ItemTime{item.dtModified, item.lTimeStatus});
            add.Bind(5, static_cast<int64_t>(flag)).Run();
        }
        for (const DeletedItem& gone : changes.Deleted()) {
            BindId(add, 2, gone.id);
            BindTime(add, 3, gone.time);
            add.Bind(5, static_cast<int64_t>(NX_LOG_DELETED)).Run();
        }
        Statement(m_db, "UPDATE anchor SET staged_base=?2, staged_count=?3, staged_at=?4 WHERE key=?1")
            .Bind(1, keyId)
            .Bind(2, generation)
            .Bind(3, static_cast<int64_t>(count))
            .Bind(4, NowMs())
            .Run();
        txn.Commit();
    });
}

bool JournalStore::MayPassByDigest(const JournalKey& key) {
    return Mapped("cannot read the state", [&] {
        const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
        return anchor && PassesByDigest(*anchor);
    });
}

bool JournalStore::Commit(const JournalKey& key, const std::vector<std::u16string_view>& undelivered) {
    const bool committed = Mapped("cannot commit the changes", [&] {
        Transaction txn(m_db);
        const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
        if (!anchor || !anchor->stagedBase) return false;
        // Computed against a state that has moved on since: applying it would corrupt the state.
        // Its entries stay unconfirmed (the next read reports them again and stages them anew).
        if (*anchor->stagedBase != anchor->generation) return false;
        const int64_t k = anchor->key;
        // The undelivered entries are set apart for the length of the transaction (a negative
        // change), so the statements below, which apply 8, 4 and 32 only, pass over them.
        int64_t kept = 0;
        if (!undelivered.empty()) {
            Statement keep(m_db, "UPDATE staged SET change=-change WHERE key=?1 AND id=?2 AND change>0");
            keep.Bind(1, k);
            for (const std::u16string_view id : undelivered) {
                BindId(keep, 2, id);
                keep.Run();
            }
            Statement count(m_db, "SELECT count(*) FROM staged WHERE key=?1 AND change<0");
            count.Bind(1, k);
            kept = count.Step() ? count.Int(0) : 0;
        }
        // A staged entry no longer tells whether the committed state has its item (a new one may
        // be known already, a deleted one unknown): the count follows the rows.
        Statement(m_db,
                  "UPDATE anchor SET item_count = item_count"
                  " + (SELECT count(*) FROM staged s WHERE s.key=?1 AND s.change IN (4, 8)"
                  "    AND NOT EXISTS (SELECT 1 FROM item i WHERE i.key=?1 AND i.id=s.id))"
                  " - (SELECT count(*) FROM staged s WHERE s.key=?1 AND s.change=32"
                  "    AND EXISTS (SELECT 1 FROM item i WHERE i.key=?1 AND i.id=s.id)),"
                  " generation=generation+1, committed_at=?2, state_digest=NULL WHERE key=?1")
            .Bind(1, k)
            .Bind(2, NowMs())
            .Run();
        Statement(m_db,
                  "INSERT OR REPLACE INTO item(key, id, modified, status)"
                  " SELECT key, id, modified, status FROM staged WHERE key=?1 AND change IN (4, 8)")
            .Bind(1, k)
            .Run();
        Statement(
            m_db,
            "DELETE FROM item WHERE key=?1 AND id IN (SELECT id FROM staged WHERE key=?1 AND change=32)")
            .Bind(1, k)
            .Run();
        if (kept == 0) {
            DropStaged(m_db, k);
        } else {
            // The undelivered entries stay, unconfirmed, staged against the new generation: the
            // next read takes them into its base as it takes those of an unfinished read.
            Statement(m_db, "DELETE FROM staged WHERE key=?1 AND change>0").Bind(1, k).Run();
            Statement(m_db, "UPDATE staged SET change=-change WHERE key=?1").Bind(1, k).Run();
            Statement(m_db,
                      "UPDATE anchor SET staged_base=generation, staged_count=?2, staged_at=?3 WHERE key=?1")
                .Bind(1, k)
                .Bind(2, kept)
                .Bind(3, NowMs())
                .Run();
        }
        txn.Commit();
        return true;
    });
    if (committed) Checkpoint();
    return committed;
}

void JournalStore::Checkpoint() noexcept {
    // A commit is rare (once per synchronisation) and a change read scans the whole state: the
    // read goes faster from the database file (mapped) than through the WAL's frames, so the
    // WAL is folded back and emptied after each commit. It never waits: while another process
    // reads, the checkpoint is left to a later commit.
    m_db.TruncateWal();
}

std::vector<AnchorInfo> JournalStore::Anchors() {
    return Mapped("cannot list the states", [&] {
        std::vector<AnchorInfo> out;
        Statement s(
            m_db,
            "SELECT category, source, anchor, item_count, committed_at, staged_count, staged_at FROM anchor"
            " ORDER BY category, source, anchor");
        while (s.Step()) {
            AnchorInfo a;
            a.key = JournalKey{std::string(s.Blob(0)), std::string(s.Blob(1)), std::string(s.Blob(2))};
            a.itemCount = s.Int(3);
            a.committedAt = MaybeIntAt(s, 4);
            a.stagedChanges = MaybeIntAt(s, 5);
            a.stagedAt = MaybeIntAt(s, 6);
            out.push_back(std::move(a));
        }
        return out;
    });
}

std::vector<StoredItem> JournalStore::CommittedItems(const JournalKey& key) {
    return Mapped("cannot read the committed state", [&] {
        return ReadItems(m_db, key, "SELECT id, modified, status, 0 FROM item WHERE key=?1 ORDER BY id");
    });
}

std::vector<StoredItem> JournalStore::StagedItems(const JournalKey& key) {
    return Mapped("cannot read the staged changes", [&] {
        return ReadItems(m_db, key,
                         "SELECT id, modified, status, change FROM staged WHERE key=?1 ORDER BY id");
    });
}

bool JournalStore::Forget(const JournalKey& key) {
    const bool forgotten = Mapped("cannot forget the state", [&] {
        Transaction txn(m_db);
        const std::optional<AnchorRow> anchor = FindAnchor(m_db, key);
        if (!anchor) return false;
        for (const char* sql : {"DELETE FROM item WHERE key=?1", "DELETE FROM staged WHERE key=?1",
                                "DELETE FROM anchor WHERE key=?1"})
            Statement(m_db, sql).Bind(1, anchor->key).Run();
        txn.Commit();
        return true;
    });
    if (forgotten) Checkpoint();
    return forgotten;
}

std::string JournalStore::IntegrityCheck() {
    return Mapped("cannot check the journal", [&] {
        std::string out;
        Statement s(m_db, "PRAGMA integrity_check");
        while (s.Step()) {
            if (!out.empty()) out += '\n';
            out += s.Blob(0);
        }
        return out;
    });
}

}  // namespace nx::journal
