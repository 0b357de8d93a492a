// The storage seam of a message store: the MAPI objects (store, folder, message, attachment,
// table) read and write their data only through this interface. SqliteStorage is the
// implementation: one SQLite file per store.
//
// Objects are rows with a key (never reused), a kind, a parent and a property blob (Props.h);
// values too long for the blob live in rows of their own. Beside the record a row keeps the
// values every reader of a folder's contents asks for, so that a count or a snapshot reads no
// record: the message class (as the key class restrictions compare) and the modification time.
// A batch of changes is saved in one transaction: either all of it is in the file afterwards or
// none of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/mapi32/EntryId.h"
#include "platform/mapi32/Props.h"

namespace nx::mapi32 {

enum ObjKind : int {
    kKindStore = 0,
    kKindFolder = 1,
    kKindMessage = 2,
    kKindAttachment = 3,
    kKindAssociated = 4,  // a folder-associated message
    // A message embedded in an attachment (its parent): never a folder's child, so no folder
    // table, count or snapshot sees it, and no entry id opens it.
    kKindEmbedded = 5,
};

struct ObjectRow {
    std::int64_t id = 0;
    int kind = 0;
    std::int64_t parent = 0;  // 0: none (the root folder, the store object)
    std::int32_t attachNum = -1;
    std::string props;  // property blob
    // Folder rows of QueryChildren only:
    bool hasSubfolders = false;
    std::int32_t contentCount = 0;
};

// How a row holds a value it keeps beside its record.
enum class ColumnState : std::uint8_t {
    Absent,    // the object has no such property
    Value,     // the column holds it
    InRecord,  // the property is of another type than the column keeps: only the record has it
};

// A row of a folder's contents as a table reads it: the key and the values kept beside the
// record; the record itself only when asked for (ContentsQuery::records) or fetched later.
struct ContentsRow {
    std::int64_t id = 0;
    bool classMatched = false;  // the row's class key equals the query's
    ColumnState modifiedState = ColumnState::Absent;
    std::int64_t modified = 0;  // PR_LAST_MODIFICATION_TIME, a FILETIME's 64 bits
    bool hasRecord = false;
    std::string record;
};

struct ContentsQuery {
    std::int64_t parent = 0;
    int kind = kKindMessage;
    // Only rows whose message class has this key (MessageClassKey), and the rows whose class has
    // no key (those say classMatched = false: the caller judges them by their record).
    std::optional<std::string> classKey;
    bool records = false;  // every row with its record
};

// The key a message class is compared by: its UTF-16LE payload with ASCII letters lower-cased,
// for a class of ASCII characters only; nullopt for any other text. Equal keys are exactly the
// classes a case-insensitive equality matches (two ASCII texts fold to the same text exactly when
// their ASCII lower-casing is the same).
std::optional<std::string> MessageClassKey(std::string_view utf16Payload);

struct Change {
    std::int64_t id = 0;      // 0: insert a new object
    int kind = kKindMessage;  // for inserts
    // For inserts: the parent's key; ParentInBatch(i): the object of the batch's change i (an
    // earlier change: a new attachment, then the message embedded in it).
    std::int64_t parent = 0;
    std::int32_t attachNum = -1;
    bool remove = false;  // delete the object and everything below it
    PropMap set;          // values to set, complete payloads
    std::vector<std::uint16_t> removeProps;
};
constexpr std::int64_t ParentInBatch(std::size_t index) {
    return -1 - static_cast<std::int64_t>(index);
}
inline constexpr std::int64_t kParentOfBatch = ParentInBatch(0);  // the batch's first change

struct StoreLayout {
    Uid uid{};
    std::int64_t storeObject = 0;  // the row holding the store's own properties
    std::int64_t root = 0;
    std::int64_t ipmSubtree = 0;
    bool longTermIds = false;
};

struct NamedProp {
    ULONG id = 0;  // 0x8000 and above
    GUID guid{};
    ULONG kind = MNID_ID;
    LONG lid = 0;
    std::u16string name;
};

class Storage {
public:
    virtual ~Storage() = default;
    virtual const StoreLayout& Layout() const = 0;

    // Load an object's properties. nullopt when there is no such object.
    virtual std::optional<ObjectRow> Load(std::int64_t id) = 0;
    // The value of an out-of-line property; throws MapiError(MAPI_E_NOT_FOUND) when absent.
    virtual std::string LoadLarge(std::int64_t id, std::uint16_t propId) = 0;
    // Save a batch of changes in one transaction; returns the key of each change (new keys for
    // inserts). Throws MapiError(MAPI_E_OBJECT_DELETED) when a changed object no longer exists.
    virtual std::vector<std::int64_t> Save(std::vector<Change>& changes) = 0;
    // Query the rows of the children of one kind, in key order. Each row is the callback's to
    // take (a table keeps the records without copying them).
    virtual void QueryChildren(std::int64_t parent, int kind, const std::function<void(ObjectRow&)>& row) = 0;
    virtual bool HasChild(std::int64_t parent, int kind) = 0;
    virtual std::int32_t CountChildren(std::int64_t parent, int kind) = 0;
    // The rows of a folder's contents, in key order, without their records unless asked
    // (answered from an index that holds the kept values, when no record is asked for).
    virtual void QueryContents(const ContentsQuery& query, const std::function<void(ContentsRow&)>& row) = 0;
    // The records of the rows of `query` whose keys are `ids` (ascending); f for each one found.
    virtual void FetchRecords(const ContentsQuery& query, std::span<const std::int64_t> ids,
                              const std::function<void(std::int64_t, std::string_view)>& f) = 0;

    // A read snapshot shared by the reads of the process while any table of the store is open:
    // reads one after another (a table's rows, then each message opened from them) then take
    // the file's read lock once instead of each time. A snapshot is given up before any write
    // of this process, when the last holder lets go, when a table reads its rows anew (Refresh),
    // and when it is older than kSnapshotAgeMs at the start of a read, so what others write is
    // seen at most that late while a table stays open.
    static constexpr int kSnapshotAgeMs = 100;
    virtual void HoldSnapshot() = 0;
    virtual void ReleaseSnapshot() = 0;
    virtual void RefreshSnapshot() = 0;
    // While a table reads (its rows, then the records it projects), the snapshot is not renewed,
    // so the records a table projects are those of the rows it read.
    virtual void BeginTableRead() = 0;
    virtual void EndTableRead() = 0;

    // Named properties: the id of a name (0 when unknown and !create).
    virtual ULONG NamedPropId(const GUID& guid, ULONG kind, LONG lid, const std::u16string& name,
                              bool create) = 0;
    virtual std::optional<NamedProp> NamedPropName(ULONG id) = 0;
    virtual std::vector<NamedProp> AllNamedProps() = 0;

    // Receive folders by message class (compared without case; the longest matching prefix wins).
    virtual std::int64_t ReceiveFolder(const std::string& messageClass, std::string& explicitClass) = 0;
    virtual void SetReceiveFolder(const std::string& messageClass, std::int64_t folder) = 0;
};

// The store file format this runtime writes (the file's user_version).
inline constexpr int kStoreFormat = 2;

// Opens an existing store file; a file of the format before (1) is upgraded in place first, in
// one transaction, so a kill leaves it in one format or the other, whole. Throws MapiError:
// MAPI_E_NOT_FOUND (no file), MAPI_E_CORRUPT_STORE (not a store file of this runtime, or
// damaged), MAPI_E_VERSION (a format this runtime does not know).
std::unique_ptr<Storage> OpenSqliteStorage(const std::string& path);

// The format of a store file, read without opening it as a store (and so without upgrading it);
// 0 when it is no store file of this runtime. Throws MapiError when it cannot be read.
int StoreFileFormat(const std::string& path);

// Creates a new store file with its root folder and IPM subtree ("Top of Personal Folders").
std::unique_ptr<Storage> CreateSqliteStorage(const std::string& path, const Uid& uid, bool longTermIds);

}  // namespace nx::mapi32
