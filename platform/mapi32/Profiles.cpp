#include "platform/mapi32/Profiles.h"

#include <cstring>
#include <map>
#include <random>

#include "platform/mapi32/Sqlite.h"
#include "platform/system/Ascii.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"

namespace nx::mapi32 {
namespace {

constexpr int kProfilesAppId = 0x4E584D50;  // 'NXMP'
constexpr std::size_t kMaxNameBytes = 255;

const char* const kProfilesSchema = R"sql(
CREATE TABLE IF NOT EXISTS profiles(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  name TEXT NOT NULL UNIQUE COLLATE NOCASE,
  is_default INTEGER NOT NULL DEFAULT 0);
CREATE TABLE IF NOT EXISTS stores(
  id INTEGER PRIMARY KEY AUTOINCREMENT,
  profile INTEGER NOT NULL REFERENCES profiles(id) ON DELETE CASCADE,
  display_name TEXT NOT NULL COLLATE NOCASE,
  uid BLOB NOT NULL UNIQUE,
  file TEXT NOT NULL,
  is_default INTEGER NOT NULL,
  longterm INTEGER NOT NULL,
  UNIQUE(profile, display_name));
)sql";

void CheckName(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameBytes) throw MapiError(MAPI_E_INVALID_PARAMETER, "bad name");
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7F) throw MapiError(MAPI_E_INVALID_PARAMETER, "control character in name");
}

std::string ProfilesPath() {
    return DataFolder() + "/profiles.db";
}

// Opens profiles.db; with create, makes it (and its schema) when missing. Returns false when it
// does not exist and create is false.
bool OpenProfiles(Connection& db, bool create) {
    std::string path = ProfilesPath();
    nx::sys::FileIdentity existing;
    if (!create && !nx::sys::IdentifyFile(path, existing)) return false;
    OpenDatabase(db, path, create);
    std::int64_t id = 0;
    {
        Statement app(db, "PRAGMA application_id");
        id = app.Step() ? app.Int(0) : 0;
    }
    if (id == 0) {
        {
            Statement tables(db, "SELECT COUNT(*) FROM sqlite_master");
            if (tables.Step() && tables.Int(0) != 0)
                throw MapiError(MAPI_E_CORRUPT_DATA, "profiles.db is foreign");
        }
        db.Exec("PRAGMA journal_mode=WAL");
        Transaction tx(db);
        db.Exec(kProfilesSchema);
        db.Exec("PRAGMA application_id = 1314409808");  // kProfilesAppId
        tx.Commit();
    } else if (id != kProfilesAppId) {
        throw MapiError(MAPI_E_CORRUPT_DATA, "profiles.db is foreign");
    }
    db.Exec("PRAGMA synchronous=NORMAL");
    return true;
}

std::int64_t ProfileId(Connection& db, const std::string& name) {
    Statement s(db, "SELECT id FROM profiles WHERE name = ?1");
    s.BindText(1, name);
    if (!s.Step()) throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
    return s.Int(0);
}

Uid NewUid() {
    std::random_device rd;
    Uid uid;
    for (std::size_t i = 0; i < uid.size(); i += 4) {
        std::uint32_t r = rd();
        std::memcpy(uid.data() + i, &r, 4);
    }
    return uid;
}

// A store's SQLite file and the two files SQLite keeps beside it.
void RemoveStoreFiles(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) nx::sys::RemoveFile(path + suffix);
}

std::mutex g_storesLock;
std::map<std::string, std::weak_ptr<StoreBackend>> g_stores;

}  // namespace

std::string DataFolder() {
    std::string base = nx::sys::RoamingAppDataFolder();
    if (base.empty()) throw MapiError(MAPI_E_NOT_FOUND, "no data folder");
    std::string folder = base + "/nxmapi";
    nx::sys::CreateDirectoryWithParents(folder + "/stores");  // private (0700), with its parent
    return folder;
}

std::vector<ProfileEntry> LoadProfiles() {
    std::vector<ProfileEntry> out;
    Connection db;
    if (!OpenProfiles(db, false)) return out;
    std::string folder = DataFolder();
    Statement p(db, "SELECT id, name, is_default FROM profiles ORDER BY id");
    Statement s(
        db,
        "SELECT display_name, uid, file, is_default, longterm FROM stores WHERE profile = ?1 ORDER BY id");
    while (p.Step()) {
        ProfileEntry pe;
        pe.name = p.Text(1);
        pe.isDefault = p.Int(2) != 0;
        s.Reset();
        s.Bind(1, p.Int(0));
        while (s.Step()) {
            StoreEntry se;
            se.displayName = s.Text(0);
            std::string_view uid = s.Blob(1);
            if (uid.size() != 16) throw MapiError(MAPI_E_CORRUPT_DATA, "profiles.db store uid");
            std::memcpy(se.uid.data(), uid.data(), 16);
            std::string file = s.Text(2);
            if (file.find("..") != std::string::npos || file.empty() || file[0] == '/')
                throw MapiError(MAPI_E_CORRUPT_DATA, "profiles.db store file");
            se.path = folder + "/" + file;
            se.isDefault = s.Int(3) != 0;
            se.longTermIds = s.Int(4) != 0;
            pe.stores.push_back(std::move(se));
        }
        out.push_back(std::move(pe));
    }
    return out;
}

void CreateProfile(const std::string& name, bool makeDefault) {
    CheckName(name);
    Connection db;
    OpenProfiles(db, true);
    Transaction tx(db);
    Statement any(db, "SELECT COUNT(*) FROM profiles");
    bool first = any.Step() && any.Int(0) == 0;
    Statement exists(db, "SELECT 1 FROM profiles WHERE name = ?1");
    exists.BindText(1, name);
    if (exists.Step()) throw MapiError(MAPI_E_COLLISION, "profile exists");
    if (makeDefault || first) db.Exec("UPDATE profiles SET is_default = 0");
    Statement ins(db, "INSERT INTO profiles(name, is_default) VALUES(?1, ?2)");
    ins.BindText(1, name).Bind(2, (makeDefault || first) ? 1 : 0).Run();
    tx.Commit();
}

void DeleteProfile(const std::string& name) {
    Connection db;
    if (!OpenProfiles(db, false)) throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
    std::vector<std::string> files;
    {
        Transaction tx(db);
        std::int64_t id = ProfileId(db, name);
        Statement f(db, "SELECT file FROM stores WHERE profile = ?1");
        f.Bind(1, id);
        while (f.Step()) files.push_back(DataFolder() + "/" + f.Text(0));
        Statement d(db, "DELETE FROM profiles WHERE id = ?1");
        d.Bind(1, id).Run();
        db.Exec(
            "UPDATE profiles SET is_default = 1 WHERE NOT EXISTS(SELECT 1 FROM profiles WHERE is_default = "
            "1) "
            "AND id = (SELECT MIN(id) FROM profiles)");
        tx.Commit();
    }
    for (const auto& f : files) RemoveStoreFiles(f);
}

void SetDefaultProfile(const std::string& name) {
    Connection db;
    if (!OpenProfiles(db, false)) throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
    Transaction tx(db);
    std::int64_t id = ProfileId(db, name);
    db.Exec("UPDATE profiles SET is_default = 0");
    Statement s(db, "UPDATE profiles SET is_default = 1 WHERE id = ?1");
    s.Bind(1, id).Run();
    tx.Commit();
}

std::string AddStore(const std::string& profile, const std::string& displayName, bool makeDefault,
                     bool longTermIds, bool standardFolders) {
    CheckName(displayName);
    Connection db;
    if (!OpenProfiles(db, false)) throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
    {
        std::int64_t id = ProfileId(db, profile);
        Statement exists(db, "SELECT 1 FROM stores WHERE profile = ?1 AND display_name = ?2");
        exists.Bind(1, id).BindText(2, displayName);
        if (exists.Step()) throw MapiError(MAPI_E_COLLISION, "store name taken");
    }
    Uid uid = NewUid();
    std::string file =
        "stores/" + ToHex(std::string_view(reinterpret_cast<const char*>(uid.data()), 16)) + ".nxstore";
    std::string path = DataFolder() + "/" + file;
    {
        auto storage = CreateSqliteStorage(path, uid, longTermIds);
        if (standardFolders) MakeStandardFolders(*storage);
    }
    try {
        Transaction tx(db);
        std::int64_t id = ProfileId(db, profile);
        Statement any(db, "SELECT COUNT(*) FROM stores WHERE profile = ?1");
        any.Bind(1, id);
        bool first = any.Step() && any.Int(0) == 0;
        if (makeDefault || first) {
            Statement clear(db, "UPDATE stores SET is_default = 0 WHERE profile = ?1");
            clear.Bind(1, id).Run();
        }
        Statement ins(db,
                      "INSERT INTO stores(profile, display_name, uid, file, is_default, longterm) "
                      "VALUES(?1, ?2, ?3, ?4, ?5, ?6)");
        ins.Bind(1, id)
            .BindText(2, displayName)
            .BindBlob(3, std::string_view(reinterpret_cast<const char*>(uid.data()), 16))
            .BindText(4, file)
            .Bind(5, (makeDefault || first) ? 1 : 0)
            .Bind(6, longTermIds ? 1 : 0)
            .Run();
        tx.Commit();
    } catch (...) {
        RemoveStoreFiles(path);
        throw;
    }
    return MakeStoreEntryId(uid);
}

void RemoveStore(const std::string& profile, const std::string& displayName) {
    Connection db;
    if (!OpenProfiles(db, false)) throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
    std::string file;
    {
        Transaction tx(db);
        std::int64_t id = ProfileId(db, profile);
        Statement f(db, "SELECT id, file FROM stores WHERE profile = ?1 AND display_name = ?2");
        f.Bind(1, id).BindText(2, displayName);
        if (!f.Step()) throw MapiError(MAPI_E_NOT_FOUND, "no such store");
        std::int64_t storeId = f.Int(0);
        file = DataFolder() + "/" + f.Text(1);
        Statement d(db, "DELETE FROM stores WHERE id = ?1");
        d.Bind(1, storeId).Run();
        Statement fix(
            db,
            "UPDATE stores SET is_default = 1 WHERE profile = ?1 AND NOT EXISTS(SELECT 1 FROM stores WHERE "
            "profile = ?1 AND is_default = 1) AND id = (SELECT MIN(id) FROM stores WHERE profile = ?1)");
        fix.Bind(1, id).Run();
        tx.Commit();
    }
    RemoveStoreFiles(file);
}

void CreateStandardFolders(const std::string& profile, const std::string& displayName) {
    for (const auto& p : LoadProfiles()) {
        if (!nx::sys::EqualsIgnoreAsciiCase(p.name, profile)) continue;
        for (const auto& s : p.stores) {
            if (!nx::sys::EqualsIgnoreAsciiCase(s.displayName, displayName)) continue;
            auto backend = AcquireStore(s.path);
            std::lock_guard lock(backend->mutex);
            MakeStandardFolders(*backend->storage);
            return;
        }
        throw MapiError(MAPI_E_NOT_FOUND, "no such store");
    }
    throw MapiError(MAPI_E_NOT_FOUND, "no such profile");
}

void InitDefaultWorld() {
    for (const auto& p : LoadProfiles())
        if (nx::sys::EqualsIgnoreAsciiCase(p.name, "Outlook"))
            throw MapiError(MAPI_E_COLLISION, "profile exists");
    CreateProfile("Outlook", true);
    AddStore("Outlook", "Personal Folders", true, false, true);
}

std::shared_ptr<StoreBackend> AcquireStore(const std::string& path) {
    std::lock_guard lock(g_storesLock);
    auto& slot = g_stores[path];
    if (auto existing = slot.lock()) return existing;
    auto backend = std::make_shared<StoreBackend>();
    backend->path = path;
    backend->storage = OpenSqliteStorage(path);
    slot = backend;
    return backend;
}

void MakeStandardFolders(Storage& storage) {
    struct Std {
        const char16_t* name;
        const char16_t* cls;
        ULONG defaultTag;  // PR_IPM_*_ENTRYID on the root folder and the Inbox, or 0
    };
    static const Std kFolders[] = {
        {u"Inbox", u"IPF.Note", 0},
        {u"Calendar", u"IPF.Appointment", PR_IPM_APPOINTMENT_ENTRYID},
        {u"Contacts", u"IPF.Contact", PR_IPM_CONTACT_ENTRYID},
        {u"Tasks", u"IPF.Task", PR_IPM_TASK_ENTRYID},
        {u"Journal", u"IPF.Journal", PR_IPM_JOURNAL_ENTRYID},
        {u"Notes", u"IPF.StickyNote", PR_IPM_NOTE_ENTRYID},
        {u"Drafts", u"IPF.Note", PR_IPM_DRAFTS_ENTRYID},
        {u"Sent Items", u"IPF.Note", 0},
        {u"Deleted Items", u"IPF.Note", 0},
    };
    const StoreLayout& layout = storage.Layout();
    // Existing children of the IPM subtree, by display name.
    std::map<std::u16string, std::int64_t> existing;
    storage.QueryChildren(layout.ipmSubtree, kKindFolder, [&](const ObjectRow& row) {
        PropMap props;
        if (FAILED(DecodeBlob(row.props, props))) return;
        auto it = props.find(PROP_ID(PR_DISPLAY_NAME_W));
        if (it != props.end() && it->second.type == PT_UNICODE)
            existing.emplace(PayloadToU16(it->second.payload), row.id);
    });
    std::map<std::u16string, std::int64_t> ids;
    for (const Std& f : kFolders) {
        auto it = existing.find(f.name);
        if (it != existing.end()) {
            ids[f.name] = it->second;
            continue;
        }
        std::vector<Change> batch(1);
        batch[0].kind = kKindFolder;
        batch[0].parent = layout.ipmSubtree;
        batch[0].set[PROP_ID(PR_DISPLAY_NAME_W)] = {PT_UNICODE, U16ToPayload(f.name)};
        batch[0].set[PROP_ID(PR_CONTAINER_CLASS_W)] = {PT_UNICODE, U16ToPayload(f.cls)};
        batch[0].set[PROP_ID(PR_FOLDER_TYPE)] = {PT_LONG, PayloadLong(FOLDER_GENERIC)};
        ids[f.name] = storage.Save(batch)[0];
    }
    auto eid = [&](const char16_t* name) {
        return StoredValue{PT_BINARY, MakeObjectEntryId(layout.uid, kEidFolder, ids[name])};
    };
    PropMap defaults;
    for (const Std& f : kFolders)
        if (f.defaultTag) defaults[PROP_ID(f.defaultTag)] = eid(f.name);
    std::vector<Change> batch(3);
    batch[0].id = layout.root;
    batch[0].set = defaults;
    batch[1].id = ids[u"Inbox"];
    batch[1].set = defaults;
    batch[2].id = layout.storeObject;
    batch[2].set[PROP_ID(PR_IPM_WASTEBASKET_ENTRYID)] = eid(u"Deleted Items");
    batch[2].set[PROP_ID(PR_IPM_SENTMAIL_ENTRYID)] = eid(u"Sent Items");
    storage.Save(batch);
    for (const char* cls : {"", "IPM", "IPM.Note"}) storage.SetReceiveFolder(cls, ids[u"Inbox"]);
}

}  // namespace nx::mapi32
