// The storage seam of a message store: the MAPI objects (store, folder, message, attachment,
// table) read and write their data only through this interface. SqliteStorage is the
// implementation: one SQLite file per store.
//
// Objects are rows with a key (never reused), a kind, a parent and a property blob (Props.h);
// values too long for the blob live in rows of their own. A batch of changes is saved in one
// transaction: either all of it is in the file afterwards or none of it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
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

struct Change {
    std::int64_t id = 0;      // 0: insert a new object
    int kind = kKindMessage;  // for inserts
    // For inserts: the parent's key; kParentOfBatch: the first object this batch inserts.
    std::int64_t parent = 0;
    std::int32_t attachNum = -1;
    bool remove = false;  // delete the object and everything below it
    PropMap set;          // values to set, complete payloads
    std::vector<std::uint16_t> removeProps;
};
inline constexpr std::int64_t kParentOfBatch = -1;

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

    // Named properties: the id of a name (0 when unknown and !create).
    virtual ULONG NamedPropId(const GUID& guid, ULONG kind, LONG lid, const std::u16string& name,
                              bool create) = 0;
    virtual std::optional<NamedProp> NamedPropName(ULONG id) = 0;
    virtual std::vector<NamedProp> AllNamedProps() = 0;

    // Receive folders by message class (compared without case; the longest matching prefix wins).
    virtual std::int64_t ReceiveFolder(const std::string& messageClass, std::string& explicitClass) = 0;
    virtual void SetReceiveFolder(const std::string& messageClass, std::int64_t folder) = 0;
};

// Opens an existing store file. Throws MapiError: MAPI_E_NOT_FOUND (no file),
// MAPI_E_CORRUPT_STORE (not a store file of this runtime, or damaged).
std::unique_ptr<Storage> OpenSqliteStorage(const std::string& path);

// Creates a new store file with its root folder and IPM subtree ("Top of Personal Folders").
std::unique_ptr<Storage> CreateSqliteStorage(const std::string& path, const Uid& uid, bool longTermIds);

}  // namespace nx::mapi32
