// SQLite implementation of the storage seam. Schema of a store file (application_id 'NXMS',
// user_version 2, the store format):
//
//   meta(key TEXT PRIMARY KEY, value BLOB)          uid, store_object, root, ipm, longterm
//   objects(id INTEGER PRIMARY KEY AUTOINCREMENT,   key of every object; AUTOINCREMENT so that a
//           kind, parent -> objects ON DELETE         key is never handed out twice
//           CASCADE, attach_num, props BLOB,        the property record (Props.h)
//           class_key BLOB, modified INTEGER)       kept beside it (below)
//   large_values(object -> objects ON DELETE CASCADE, tag, value BLOB)   out-of-line values
//   named_props(id AUTOINCREMENT, guid, kind, lid, name, UNIQUE(...))    id 0x8000 + id - 1
//   receive_folders(class TEXT COLLATE NOCASE PRIMARY KEY, folder -> objects ON DELETE CASCADE)
//
// class_key is the message class as MessageClassKey gives it, modified the modification time's
// 64 bits; either is NULL when the object has no such property, and a marker when it has one of
// another type (or a class without a key), which only the record can tell: X'FF' for the class,
// the smallest 64-bit integer for the time. Two
// indexes hold both beside (parent, kind, id), so a folder's count and snapshot are read from an
// index alone: objects_by_parent in key order, objects_by_class by class, then key.
//
// The file is in WAL mode with synchronous=NORMAL: a transaction that committed survives any
// crash of the process; an operating-system crash or power loss may lose the last transactions
// but never leaves a half-written one. The file is read through memory-mapped I/O.
//
// Format 1 had neither column nor the two indexes (objects_by_parent was (parent, kind, id)) and
// "NXP1" records; opening such a file upgrades it in place, in one transaction (Upgrade).
#include <algorithm>
#include <cassert>
#include <chrono>
#include <climits>
#include <cstring>
#include <unordered_map>

#include "platform/mapi32/Sqlite.h"
#include "platform/mapi32/Storage.h"
#include "platform/system/Utf.h"

namespace nx::mapi32 {
namespace {

constexpr int kApplicationId = 0x4E584D53;  // 'NXMS'
constexpr int kFormatBefore = 1;            // upgraded when opened
// How much of the file SQLite maps: reads of mapped pages take no system call. Two limits a page
// apart, so that switching between them makes SQLite map the file anew (see MappedRead).
constexpr const char* kMmapPragma = "PRAGMA mmap_size=1073741824";
constexpr const char* kMmapPragmaOther = "PRAGMA mmap_size=1073737728";
// Bytes of records read through the map after which it is made anew: each page touched through the
// map counts in the process's resident size for as long as the map lives. Each remap costs a
// statement and a map torn down: at 512 KB, a 10,000-row table's forty had cost a tenth of its
// read; from 1 MB on, a larger budget gains nothing more.
constexpr std::size_t kMappedBudget = 1u << 20;
// What one row of a folder's index is taken to cost the map, and the rows of one page of a folder's
// keys (QueryContents).
constexpr std::size_t kIndexEntryBytes = 48;
constexpr std::int64_t kContentsPage = 4096;
// A kept value of another type than its column holds (see the file's comment): for the class
// key a blob no key can be (keys have an even length), for the time the one FILETIME no valid
// time has (should a property hold those bits, its record is read: the answer is the same).
constexpr std::string_view kInRecord = "\xFF";
constexpr std::int64_t kModifiedInRecord = INT64_MIN;
constexpr ULONG kMaxNamedProps = 0x7FFF;
// Row n of named_props is property id 0x8000 + n - 1: every row fits the named range.
static_assert(MAPI_NAMED_PROP_MIN + kMaxNamedProps - 1 == 0xFFFE);

const char* const kSchema = R"sql(
CREATE TABLE meta(key TEXT PRIMARY KEY, value BLOB NOT NULL);
CREATE TABLE objects(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  kind INTEGER NOT NULL,
  parent INTEGER REFERENCES objects(id) ON DELETE CASCADE,
  attach_num INTEGER,
  props BLOB NOT NULL,
  class_key BLOB,
  modified INTEGER);
CREATE TABLE large_values(
  object INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE,
  tag INTEGER NOT NULL,
  value BLOB NOT NULL,
  PRIMARY KEY(object, tag)) WITHOUT ROWID;
CREATE TABLE named_props(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  guid BLOB NOT NULL, kind INTEGER NOT NULL, lid INTEGER NOT NULL, name BLOB NOT NULL,
  UNIQUE(guid, kind, lid, name));
CREATE TABLE receive_folders(
  class TEXT NOT NULL COLLATE NOCASE PRIMARY KEY,
  folder INTEGER NOT NULL REFERENCES objects(id) ON DELETE CASCADE);
)sql";

// The indexes of format 2 (also made by the upgrade from format 1).
const char* const kIndexes = R"sql(
CREATE INDEX objects_by_parent ON objects(parent, kind, id, class_key, modified);
CREATE INDEX objects_by_class ON objects(parent, kind, class_key, id, modified);
)sql";

// What a row keeps beside its record, from the object's values.
struct KeptColumns {
    std::optional<std::string> classKey;  // nullopt: NULL
    bool classInRecord = false;
    std::optional<std::int64_t> modified;
    bool modifiedInRecord = false;

    explicit KeptColumns(const PropMap& props) {
        if (auto c = props.find(PROP_ID(PR_MESSAGE_CLASS_W)); c != props.end()) {
            if (c->second.type == PT_UNICODE && !c->second.outOfLine)
                classKey = MessageClassKey(c->second.payload);
            classInRecord = !classKey;
        }
        if (auto m = props.find(PROP_ID(PR_LAST_MODIFICATION_TIME)); m != props.end()) {
            if (m->second.type == PT_SYSTIME && m->second.payload.size() == 8) {
                std::int64_t bits;
                std::memcpy(&bits, m->second.payload.data(), 8);
                modified = bits;
            }
            modifiedInRecord = !modified;
        }
    }
    // Binds the two columns at parameters `classAt` and `classAt + 1`.
    void Bind(Statement& s, int classAt) const {
        if (classKey) {
            s.BindBlobRef(classAt, *classKey);
        } else if (classInRecord) {
            s.BindBlobRef(classAt, kInRecord);
        } else {
            s.BindNull(classAt);
        }
        if (modified) {
            s.Bind(classAt + 1, *modified);
        } else if (modifiedInRecord) {
            s.Bind(classAt + 1, kModifiedInRecord);
        } else {
            s.BindNull(classAt + 1);
        }
    }
};

class SqliteStorage final : public Storage {
public:
    explicit SqliteStorage(Connection db) : m_db(std::move(db)) {}

    // Per-connection settings; WAL mode is kept in the file itself.
    void Configure() {
        m_db.Exec("PRAGMA journal_mode=WAL");
        m_db.Exec("PRAGMA synchronous=NORMAL");
        m_db.Exec(kMmapPragma);
    }

    void Prepare() {
        m_load.emplace(m_db,
                       "SELECT id, kind, COALESCE(parent, 0), COALESCE(attach_num, -1), props FROM objects "
                       "WHERE id = ?1");
        m_large.emplace(m_db, "SELECT value FROM large_values WHERE object = ?1 AND tag = ?2");
        m_children.emplace(m_db,
                           "SELECT id, kind, COALESCE(parent, 0), COALESCE(attach_num, -1), props FROM "
                           "objects WHERE parent = ?1 AND kind = ?2 ORDER BY id");
        m_folders.emplace(m_db,
                          "SELECT o.id, o.kind, COALESCE(o.parent, 0), COALESCE(o.attach_num, -1), o.props, "
                          "EXISTS(SELECT 1 FROM objects c WHERE c.parent = o.id AND c.kind = 1), "
                          "(SELECT COUNT(*) FROM objects m WHERE m.parent = o.id AND m.kind = 2) "
                          "FROM objects o WHERE o.parent = ?1 AND o.kind = 1 ORDER BY o.id");
        m_hasChild.emplace(m_db, "SELECT EXISTS(SELECT 1 FROM objects WHERE parent = ?1 AND kind = ?2)");
        m_count.emplace(m_db, "SELECT COUNT(*) FROM objects WHERE parent = ?1 AND kind = ?2");
    }

    // Format 1 to format 2 in one transaction: the two columns and indexes, every record
    // rewritten in the new layout. A record that cannot be read stays as it was (it reads as
    // damaged, as it did). Another process that upgraded meanwhile leaves nothing to do.
    void Upgrade() {
        Transaction tx(m_db);
        {
            Statement v(m_db, "PRAGMA user_version");
            if (!v.Step() || v.Int(0) != kFormatBefore) return;  // done by someone else
        }
        m_db.Exec("ALTER TABLE objects ADD COLUMN class_key BLOB");
        m_db.Exec("ALTER TABLE objects ADD COLUMN modified INTEGER");
        m_db.Exec("DROP INDEX objects_by_parent");
        {
            Statement rows(m_db, "SELECT id, props FROM objects");
            Statement update(m_db,
                             "UPDATE objects SET props = ?2, class_key = ?3, modified = ?4 WHERE id = ?1");
            PropMap props;
            while (rows.Step()) {
                if (FAILED(DecodeBlobV1(rows.Blob(1), props))) continue;
                const std::string record = EncodeBlob(props);
                const KeptColumns kept(props);
                update.Bind(1, rows.Int(0)).BindBlobRef(2, record);
                kept.Bind(update, 3);
                update.Run();
            }
        }
        m_db.Exec(kIndexes);
        m_db.Exec("PRAGMA user_version = 2");
        static_assert(kStoreFormat == 2, "the upgrade writes the current format");
        tx.Commit();
    }

    void ReadLayout() {
        Statement s(m_db, "SELECT key, value FROM meta");
        std::unordered_map<std::string, std::string> meta;
        while (s.Step()) meta[s.Text(0)] = std::string(s.Blob(1));
        auto num = [&](const char* key) -> std::int64_t {
            auto it = meta.find(key);
            if (it == meta.end()) throw MapiError(MAPI_E_CORRUPT_STORE, "store metadata missing");
            try {
                return std::stoll(it->second);
            } catch (...) {
                throw MapiError(MAPI_E_CORRUPT_STORE, "store metadata damaged");
            }
        };
        auto uid = meta.find("uid");
        if (uid == meta.end() || uid->second.size() != 16) throw MapiError(MAPI_E_CORRUPT_STORE, "store uid");
        std::memcpy(m_layout.uid.data(), uid->second.data(), 16);
        m_layout.storeObject = num("store_object");
        m_layout.root = num("root");
        m_layout.ipmSubtree = num("ipm");
        m_layout.longTermIds = num("longterm") != 0;
        for (std::int64_t id : {m_layout.storeObject, m_layout.root, m_layout.ipmSubtree})
            if (!Load(id)) throw MapiError(MAPI_E_CORRUPT_STORE, "store objects missing");
    }

    void Create(const Uid& uid, bool longTermIds) {
        Transaction tx(m_db);
        m_db.Exec(kSchema);
        m_db.Exec(kIndexes);
        m_db.Exec("PRAGMA application_id = 1314409811");  // kApplicationId
        m_db.Exec("PRAGMA user_version = 2");             // kStoreFormat
        auto insert = [&](int kind, std::int64_t parent, const PropMap& props) {
            Statement s(m_db, "INSERT INTO objects(kind, parent, props) VALUES(?1, ?2, ?3)");
            s.Bind(1, kind);
            if (parent) {
                s.Bind(2, parent);
            } else {
                s.BindNull(2);
            }
            s.BindBlob(3, EncodeBlob(props));
            s.Run();
            return m_db.LastInsertId();
        };
        auto folderProps = [](const char16_t* name, LONG folderType) {
            PropMap p;
            p[PROP_ID(PR_DISPLAY_NAME_W)] = {PT_UNICODE, U16ToPayload(name)};
            p[PROP_ID(PR_FOLDER_TYPE)] = {PT_LONG, PayloadLong(folderType)};
            return p;
        };
        std::int64_t storeObject = insert(kKindStore, 0, {});
        std::int64_t root = insert(kKindFolder, 0, folderProps(u"", FOLDER_ROOT));
        std::int64_t ipm = insert(kKindFolder, root, folderProps(u"Top of Personal Folders", FOLDER_GENERIC));
        auto meta = [&](const char* key, std::string_view value) {
            Statement s(m_db, "INSERT INTO meta(key, value) VALUES(?1, ?2)");
            s.BindText(1, key).BindBlob(2, value);
            s.Run();
        };
        meta("uid", std::string_view(reinterpret_cast<const char*>(uid.data()), 16));
        meta("store_object", std::to_string(storeObject));
        meta("root", std::to_string(root));
        meta("ipm", std::to_string(ipm));
        meta("longterm", longTermIds ? "1" : "0");
        tx.Commit();
    }

    // The file's format; throws when it is not a store file of this runtime.
    int Format() {
        std::int64_t app = 0, ver = 0;
        {
            Statement a(m_db, "PRAGMA application_id");
            app = a.Step() ? a.Int(0) : 0;
        }
        {
            Statement v(m_db, "PRAGMA user_version");
            ver = v.Step() ? v.Int(0) : 0;
        }
        if (app != kApplicationId) throw MapiError(MAPI_E_CORRUPT_STORE, "not a message store file");
        return static_cast<int>(ver);
    }

    void CheckIdentity() {
        int format = Format();
        if (format == kFormatBefore) {
            Upgrade();
            format = Format();
        }
        if (format != kStoreFormat) throw MapiError(MAPI_E_VERSION, "unknown store file version");
    }

    const StoreLayout& Layout() const override { return m_layout; }

    std::optional<ObjectRow> Load(std::int64_t id) override {
        BeginRead();
        std::optional<ObjectRow> row;
        {
            Statement& s = *m_load;
            ResetOnExit r{s};
            s.Bind(1, id);
            if (s.Step()) row = RowOf(s, false);
        }
        if (row) MappedRead(row->props.size());
        return row;
    }

    std::string LoadLarge(std::int64_t id, std::uint16_t propId) override {
        // The tag of an out-of-line value is looked up by id: the blob holds its type.
        auto row = Load(id);
        if (!row) throw MapiError(MAPI_E_OBJECT_DELETED);
        std::vector<PropRef> refs;
        if (FAILED(ParseBlob(row->props, refs))) throw MapiError(MAPI_E_CORRUPT_DATA);
        for (const auto& ref : refs) {
            if (PROP_ID(ref.tag) != propId) continue;
            if (!ref.outOfLine) return std::string(ref.payload);
            std::string value;
            {
                Statement& s = *m_large;
                ResetOnExit r{s};
                s.Bind(1, id).Bind(2, static_cast<std::int64_t>(ref.tag));
                if (!s.Step()) throw MapiError(MAPI_E_CORRUPT_DATA, "out-of-line value missing");
                value.assign(s.Blob(0));
            }
            MappedRead(value.size());
            if (value.size() != ref.size || !ValidPayload(PROP_TYPE(ref.tag), value))
                throw MapiError(MAPI_E_CORRUPT_DATA, "out-of-line value damaged");
            return value;
        }
        throw MapiError(MAPI_E_NOT_FOUND);
    }

    std::vector<std::int64_t> Save(std::vector<Change>& changes) override {
        EndSnapshot();  // a write of ours starts from the file as it is
        Transaction tx(m_db);
        std::vector<std::int64_t> ids;
        for (Change& c : changes) {
            std::int64_t id = c.id;
            assert((id || (c.kind >= kKindStore && c.kind <= kKindEmbedded)) &&
                   "an insert is of a known kind");
            if (c.remove) {
                if (id) {
                    Statement& s = m_db.Cached("DELETE FROM objects WHERE id = ?1");
                    ResetOnExit r{s};
                    s.Bind(1, id).Run();
                }
                ids.push_back(id);
                continue;
            }
            PropMap props;
            if (id) {
                auto row = Load(id);
                if (!row) throw MapiError(MAPI_E_OBJECT_DELETED);
                if (FAILED(DecodeBlob(row->props, props))) throw MapiError(MAPI_E_CORRUPT_DATA);
            }
            for (std::uint16_t pid : c.removeProps) {
                auto it = props.find(pid);
                if (it == props.end()) continue;
                if (it->second.outOfLine) DeleteLarge(id, PROP_TAG(it->second.type, pid));
                props.erase(it);
            }
            std::vector<std::pair<ULONG, const std::string*>> large;
            for (auto& [pid, v] : c.set) {
                // A value not loaded would replace the stored one with nothing (its old row goes).
                assert(!v.outOfLine && "a value to save is complete");
                auto old = props.find(pid);
                if (id && old != props.end() && old->second.outOfLine)
                    DeleteLarge(id, PROP_TAG(old->second.type, pid));
                StoredValue nv = v;
                if (!nv.outOfLine && nv.payload.size() > kInlineLimit) {
                    large.emplace_back(PROP_TAG(nv.type, pid), &v.payload);
                    nv.outOfLine = true;
                    nv.size = nv.payload.size();
                    nv.payload.clear();
                }
                props[pid] = std::move(nv);
            }
            std::string blob = EncodeBlob(props);
            const KeptColumns kept(props);
            if (id) {
                Statement& s =
                    m_db.Cached("UPDATE objects SET props = ?2, class_key = ?3, modified = ?4 WHERE id = ?1");
                ResetOnExit r{s};
                s.Bind(1, id).BindBlobRef(2, blob);
                kept.Bind(s, 3);
                s.Run();
            } else {
                // An object below another of the batch comes after it in the batch.
                std::int64_t parent = c.parent;
                if (parent < 0) {
                    const auto index = static_cast<std::size_t>(-1 - parent);
                    assert(index < ids.size() && ids[index] > 0 &&
                           "a parent in the batch precedes its children");
                    parent = ids[index];
                }
                Statement& s = m_db.Cached(
                    "INSERT INTO objects(kind, parent, attach_num, props, class_key, modified) "
                    "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
                ResetOnExit r{s};
                kept.Bind(s, 5);
                s.Bind(1, c.kind);
                if (parent > 0) {
                    s.Bind(2, parent);
                } else {
                    s.BindNull(2);
                }
                if (c.attachNum >= 0) {
                    s.Bind(3, c.attachNum);
                } else {
                    s.BindNull(3);
                }
                s.BindBlobRef(4, blob).Run();
                id = m_db.LastInsertId();
            }
            for (auto& [tag, payload] : large) {
                Statement& s =
                    m_db.Cached("INSERT OR REPLACE INTO large_values(object, tag, value) VALUES(?1, ?2, ?3)");
                ResetOnExit r{s};
                s.Bind(1, id).Bind(2, static_cast<std::int64_t>(tag)).BindBlob(3, *payload).Run();
            }
            ids.push_back(id);
        }
        tx.Commit();
        assert(ids.size() == changes.size() && "one key per change");
        return ids;
    }

    void QueryChildren(std::int64_t parent, int kind, const std::function<void(ObjectRow&)>& f) override {
        BeginRead();
        Statement& s = kind == kKindFolder ? *m_folders : *m_children;
        ResetOnExit r{s};
        s.Bind(1, parent);
        if (kind != kKindFolder) s.Bind(2, kind);
        while (s.Step()) {
            ObjectRow row = RowOf(s, kind == kKindFolder);
            f(row);
        }
    }

    bool HasChild(std::int64_t parent, int kind) override {
        BeginRead();
        Statement& s = *m_hasChild;
        ResetOnExit r{s};
        s.Bind(1, parent).Bind(2, kind);
        return s.Step() && s.Int(0) != 0;
    }

    std::int32_t CountChildren(std::int64_t parent, int kind) override {
        BeginRead();
        Statement& s = *m_count;
        ResetOnExit r{s};
        s.Bind(1, parent).Bind(2, kind);
        return s.Step() ? static_cast<std::int32_t>(s.Int(0)) : 0;
    }

    void QueryContents(const ContentsQuery& q, const std::function<void(ContentsRow&)>& f) override {
        BeginRead();
        // Rows whose class has no key come apart, with their records (they are judged by them):
        // an index seek that finds none, as a rule, merged in key order with the class's rows.
        std::vector<ContentsRow> keyless;
        if (q.classKey) {
            Statement& s = Contents(true, true);
            ResetOnExit r{s};
            // Rare: no page, every key (LIMIT -1).
            s.Bind(1, q.parent).Bind(2, q.kind).BindBlobRef(3, kInRecord).Bind(8, INT64_MIN).Bind(9, -1);
            while (s.Step()) keyless.push_back(ContentsRowOf(s, true, false));
        }
        // A page of keys at a time, so that the map can be made anew between pages (MappedRead):
        // one statement over a large folder's index keeps every page it touched mapped, and the
        // kernel maps a score of neighbours with each page it faults in. Inside a held snapshot
        // (every table read) the pages see one state of the file; outside one, a page may see a
        // later state than the page before, as a read started a moment later would.
        std::size_t next = 0;
        std::int64_t after = INT64_MIN;
        for (;;) {
            std::int64_t rows = 0;
            std::size_t bytes = 0;
            {
                Statement& s = Contents(q.records, q.classKey.has_value());
                ResetOnExit r{s};
                s.Bind(1, q.parent).Bind(2, q.kind).Bind(8, after).Bind(9, kContentsPage);
                if (q.classKey) s.BindBlobRef(3, *q.classKey);
                while (s.Step()) {
                    // The class's rows are those the statement selects by their key.
                    ContentsRow row = ContentsRowOf(s, q.records, q.classKey.has_value());
                    after = row.id;
                    ++rows;
                    bytes += kIndexEntryBytes + row.record.size();
                    for (; next < keyless.size() && keyless[next].id < row.id; ++next) f(keyless[next]);
                    f(row);
                }
            }
            MappedRead(bytes);
            if (rows < kContentsPage) break;
        }
        for (; next < keyless.size(); ++next) f(keyless[next]);
    }

    void FetchRecords(const ContentsQuery& q, std::span<const std::int64_t> ids,
                      const std::function<void(std::int64_t, std::string_view)>& f) override {
        if (ids.empty()) return;
        assert(std::is_sorted(ids.begin(), ids.end()) && "records are fetched in key order");
        BeginRead();
        // Keys close together (a folder filled in one go, the usual case) are read in one pass
        // over the table's key range, which costs no seek per row; keys spread among other
        // folders' objects through one range of the folder's index (a seek per row, but no row
        // of another folder read). Either way the rows not asked for are skipped. The unary +
        // keeps the planner off the indexes in the first statement.
        const bool dense = static_cast<std::uint64_t>(ids.back() - ids.front()) < 4 * ids.size();
        Statement& s =
            dense
                ? (q.classKey ? m_db.Cached("SELECT id, props FROM objects WHERE id BETWEEN ?3 AND ?4 "
                                            "AND +parent = ?1 AND +kind = ?2 AND +class_key = ?5 ORDER BY id")
                              : m_db.Cached("SELECT id, props FROM objects WHERE id BETWEEN ?3 AND ?4 "
                                            "AND +parent = ?1 AND +kind = ?2 ORDER BY id"))
                : (q.classKey ? m_db.Cached("SELECT id, props FROM objects WHERE parent = ?1 AND kind = ?2 "
                                            "AND class_key = ?5 AND id BETWEEN ?3 AND ?4 ORDER BY id")
                              : m_db.Cached("SELECT id, props FROM objects WHERE parent = ?1 AND kind = ?2 "
                                            "AND id BETWEEN ?3 AND ?4 ORDER BY id"));
        std::size_t next = 0;
        std::size_t bytes = 0;
        {
            ResetOnExit r{s};
            s.Bind(1, q.parent).Bind(2, q.kind).Bind(3, ids.front()).Bind(4, ids.back());
            if (q.classKey) s.BindBlobRef(5, *q.classKey);
            while (next < ids.size() && s.Step()) {
                const std::int64_t id = s.Int(0);
                while (next < ids.size() && ids[next] < id) ++next;
                if (next < ids.size() && ids[next] == id) {
                    const std::string_view record = s.Blob(1);
                    bytes += record.size();
                    f(id, record);
                }
            }
        }
        MappedRead(bytes);
    }

    void HoldSnapshot() override { ++m_holders; }
    void ReleaseSnapshot() override {
        assert(m_holders > 0 && "a snapshot is released by one that holds it");
        if (--m_holders == 0) EndSnapshot();
    }
    void RefreshSnapshot() override {
        if (m_tableReads == 0) EndSnapshot();
    }
    void BeginTableRead() override { ++m_tableReads; }
    void EndTableRead() override {
        assert(m_tableReads > 0);
        --m_tableReads;
    }

    ULONG NamedPropId(const GUID& guid, ULONG kind, LONG lid, const std::u16string& name,
                      bool create) override {
        std::string_view g(reinterpret_cast<const char*>(&guid), sizeof(GUID));
        std::string n = kind == MNID_STRING ? U16ToPayload(name) : std::string();
        LONG l = kind == MNID_STRING ? 0 : lid;
        // A name once in the file keeps its id for the life of the file (names are never
        // removed, ids never reused), so a name found is remembered; an unknown one is asked
        // again, since another process may add it at any time.
        std::string key;
        key.reserve(g.size() + 8 + n.size());
        key.append(g).append(reinterpret_cast<const char*>(&kind), sizeof kind);
        key.append(reinterpret_cast<const char*>(&l), sizeof l).append(n);
        if (auto known = m_namedIds.find(key); known != m_namedIds.end()) return known->second;
        auto find = [&]() -> std::int64_t {
            Statement& s = m_db.Cached(
                "SELECT id FROM named_props WHERE guid = ?1 AND kind = ?2 AND lid = ?3 AND name = ?4");
            ResetOnExit r{s};
            s.BindBlob(1, g).Bind(2, static_cast<std::int64_t>(kind)).Bind(3, l).BindBlob(4, n);
            return s.Step() ? s.Int(0) : 0;
        };
        BeginRead();
        std::int64_t row = find();
        if (!row && create) {
            EndSnapshot();
            Transaction tx(m_db);
            row = find();  // another process may have made it meanwhile
            if (!row) {
                Statement& s =
                    m_db.Cached("INSERT INTO named_props(guid, kind, lid, name) VALUES(?1, ?2, ?3, ?4)");
                ResetOnExit r{s};
                s.BindBlob(1, g).Bind(2, static_cast<std::int64_t>(kind)).Bind(3, l).BindBlob(4, n).Run();
                row = m_db.LastInsertId();
                if (row > static_cast<std::int64_t>(kMaxNamedProps))
                    throw MapiError(MAPI_E_NOT_ENOUGH_RESOURCES, "named property ids exhausted");
            }
            tx.Commit();  // remembered only once committed: a rolled-back id may be handed out again
        }
        if (row <= 0 || row > static_cast<std::int64_t>(kMaxNamedProps)) return 0;
        const auto id = static_cast<ULONG>(MAPI_NAMED_PROP_MIN + row - 1);
        m_namedIds.emplace(std::move(key), id);
        return id;
    }

    std::optional<NamedProp> NamedPropName(ULONG id) override {
        if (id < MAPI_NAMED_PROP_MIN || id > 0xFFFE) return std::nullopt;
        Statement& s = m_db.Cached("SELECT id, guid, kind, lid, name FROM named_props WHERE id = ?1");
        ResetOnExit r{s};
        s.Bind(1, static_cast<std::int64_t>(id - MAPI_NAMED_PROP_MIN + 1));
        if (!s.Step()) return std::nullopt;
        return NamedOf(s);
    }

    std::vector<NamedProp> AllNamedProps() override {
        std::vector<NamedProp> all;
        Statement s(m_db, "SELECT id, guid, kind, lid, name FROM named_props ORDER BY id");
        while (s.Step()) {
            auto np = NamedOf(s);
            if (np) all.push_back(*np);
        }
        return all;
    }

    std::int64_t ReceiveFolder(const std::string& messageClass, std::string& explicitClass) override {
        Statement s(m_db, "SELECT folder, class FROM receive_folders WHERE class = ?1");
        std::string cls = messageClass;
        for (;;) {
            s.Reset();
            s.BindText(1, cls);
            if (s.Step()) {
                explicitClass = s.Text(1);
                return s.Int(0);
            }
            if (cls.empty()) return 0;
            auto dot = cls.rfind('.');
            cls = dot == std::string::npos ? std::string() : cls.substr(0, dot);
        }
    }

    void SetReceiveFolder(const std::string& messageClass, std::int64_t folder) override {
        EndSnapshot();
        Transaction tx(m_db);
        if (folder) {
            Statement s(m_db, "INSERT OR REPLACE INTO receive_folders(class, folder) VALUES(?1, ?2)");
            s.BindText(1, messageClass).Bind(2, folder).Run();
        } else {
            Statement s(m_db, "DELETE FROM receive_folders WHERE class = ?1");
            s.BindText(1, messageClass).Run();
        }
        tx.Commit();
    }

private:
    // Reads begin here: inside a held snapshot (begun now, or renewed when it has grown old and
    // no table is reading), else on their own.
    void BeginRead() {
        // Outside a held snapshot, and inside a write of ours, a read runs as it comes.
        if (m_holders == 0 || (!m_inSnapshot && m_db.InTransaction())) return;
        const auto now = std::chrono::steady_clock::now();
        if (m_inSnapshot && m_tableReads == 0 &&
            now - m_snapshotStart > std::chrono::milliseconds(kSnapshotAgeMs))
            EndSnapshot();
        if (m_inSnapshot) return;
        m_db.Exec("BEGIN");
        m_inSnapshot = true;
        m_snapshotStart = now;
    }
    // Every page read through the map stays in the process's resident size while the map lives, so
    // a full read of a large store would count the whole file as the agent's memory (clean pages of
    // the page cache, but resident all the same). Once kMappedBudget bytes of records were read, the
    // map is made anew: SQLite unmaps and maps the file again when its limit changes, which it does
    // only while no page of the map is in use (between statements, as here; page 1 and pages still
    // in the write-ahead log are never read through the map). Reads stay free of system calls; what
    // a page costs is its first touch after the new map, as it did after the old one.
    void MappedRead(std::size_t bytes) {
        m_mappedBytes += bytes;
        if (m_mappedBytes < kMappedBudget) return;
        m_mappedBytes = 0;
        m_otherMapLimit = !m_otherMapLimit;
        m_db.Exec(m_otherMapLimit ? kMmapPragmaOther : kMmapPragma);
    }
    void EndSnapshot() {
        if (!m_inSnapshot) return;
        m_inSnapshot = false;
        m_db.Exec("COMMIT");
    }

    // The statement of a folder's contents rows: id, class_key, modified[, props], by class or all,
    // a page (?9 rows) after the key ?8.
    Statement& Contents(bool records, bool byClass) {
        static const char* const kSql[2][2] = {
            {"SELECT id, class_key, modified FROM objects WHERE parent = ?1 AND kind = ?2 AND id > ?8 "
             "ORDER BY id LIMIT ?9",
             "SELECT id, class_key, modified FROM objects WHERE parent = ?1 AND kind = ?2 AND class_key = ?3 "
             "AND id > ?8 ORDER BY id LIMIT ?9"},
            {"SELECT id, class_key, modified, props FROM objects WHERE parent = ?1 AND kind = ?2 AND id > ?8 "
             "ORDER BY id LIMIT ?9",
             "SELECT id, class_key, modified, props FROM objects WHERE parent = ?1 AND kind = ?2 "
             "AND class_key = ?3 AND id > ?8 ORDER BY id LIMIT ?9"}};
        return m_db.Cached(kSql[records][byClass]);
    }

    static ContentsRow ContentsRowOf(const Statement& s, bool withRecord, bool classMatched) {
        ContentsRow row;
        row.id = s.Int(0);
        row.classMatched = classMatched;
        // NULL reads as 0: only then is the column's type asked.
        const std::int64_t modified = s.Int(2);
        if (modified == 0 && s.IsNull(2)) {
            row.modifiedState = ColumnState::Absent;
        } else if (modified == kModifiedInRecord) {
            row.modifiedState = ColumnState::InRecord;
        } else {
            row.modifiedState = ColumnState::Value;
            row.modified = modified;
        }
        if (withRecord) {
            row.record.assign(s.Blob(3));
            row.hasRecord = true;
        }
        return row;
    }

    static ObjectRow RowOf(const Statement& s, bool folderStats) {
        ObjectRow row;
        row.id = s.Int(0);
        row.kind = static_cast<int>(s.Int(1));
        row.parent = s.Int(2);
        row.attachNum = static_cast<std::int32_t>(s.Int(3));
        row.props.assign(s.Blob(4));
        if (folderStats) {
            row.hasSubfolders = s.Int(5) != 0;
            row.contentCount = static_cast<std::int32_t>(s.Int(6));
        }
        return row;
    }

    static std::optional<NamedProp> NamedOf(const Statement& s) {
        NamedProp np;
        std::int64_t row = s.Int(0);
        std::string_view g = s.Blob(1);
        if (row <= 0 || row > static_cast<std::int64_t>(kMaxNamedProps) || g.size() != sizeof(GUID))
            return std::nullopt;
        np.id = static_cast<ULONG>(MAPI_NAMED_PROP_MIN + row - 1);
        std::memcpy(&np.guid, g.data(), sizeof(GUID));
        np.kind = static_cast<ULONG>(s.Int(2));
        if (np.kind != MNID_ID && np.kind != MNID_STRING) return std::nullopt;
        np.lid = static_cast<LONG>(s.Int(3));
        np.name = PayloadToU16(s.Blob(4));
        return np;
    }

    void DeleteLarge(std::int64_t id, ULONG tag) {
        Statement& s = m_db.Cached("DELETE FROM large_values WHERE object = ?1 AND tag = ?2");
        ResetOnExit r{s};
        s.Bind(1, id).Bind(2, static_cast<std::int64_t>(tag)).Run();
    }

    Connection m_db;
    StoreLayout m_layout;
    int m_holders = 0;     // open tables of the store (HoldSnapshot)
    int m_tableReads = 0;  // tables reading now (BeginTableRead)
    bool m_inSnapshot = false;
    std::size_t m_mappedBytes = 0;  // records read through the map since it was made (MappedRead)
    bool m_otherMapLimit = false;   // which of the two map limits is set
    std::chrono::steady_clock::time_point m_snapshotStart;
    std::optional<Statement> m_load, m_large, m_children, m_folders, m_hasChild, m_count;
    // Named-property ids found in the file, by guid, kind, lid and name (see NamedPropId).
    std::unordered_map<std::string, ULONG> m_namedIds;
};

}  // namespace

std::optional<std::string> MessageClassKey(std::string_view utf16Payload) {
    std::string key(utf16Payload);
    for (std::size_t i = 0; i + 1 < key.size(); i += 2) {
        if (key[i + 1] != 0 || static_cast<unsigned char>(key[i]) >= 0x80) return std::nullopt;
        if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<char>(key[i] - 'A' + 'a');
    }
    return key;
}

int StoreFileFormat(const std::string& path) {
    Connection db;
    OpenDatabase(db, path, false);
    try {
        return SqliteStorage(std::move(db)).Format();
    } catch (const MapiError&) {
        return 0;
    }
}

std::unique_ptr<Storage> OpenSqliteStorage(const std::string& path) {
    Connection db;
    OpenDatabase(db, path, false);
    auto s = std::make_unique<SqliteStorage>(std::move(db));
    s->CheckIdentity();
    s->Configure();
    s->Prepare();
    s->ReadLayout();
    return s;
}

std::unique_ptr<Storage> CreateSqliteStorage(const std::string& path, const Uid& uid, bool longTermIds) {
    Connection db;
    OpenDatabase(db, path, true);
    auto s = std::make_unique<SqliteStorage>(std::move(db));
    s->Configure();
    s->Create(uid, longTermIds);
    s->Prepare();
    s->ReadLayout();
    return s;
}

}  // namespace nx::mapi32
