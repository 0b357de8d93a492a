// The exported C entry points of libmapi32.so: the 10 MAPI functions and the administration API
// of Admin.h.
#include <cstring>
#include <map>
#include <mutex>

#include "platform/mapi32/Admin.h"
#include "platform/mapi32/Internal.h"
#include "platform/system/Ascii.h"
#include "platform/system/Utf.h"

// A DLL exports what its .def file lists (MAPI32.def: names and the ordinals of "MAPI32.dll").
#ifdef _WIN32
#define NX_EXPORT extern "C"
#else
#define NX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

using namespace nx::mapi32;

std::mutex g_initLock;
unsigned g_initCount = 0;

bool Initialized() {
    std::lock_guard lock(g_initLock);
    return g_initCount > 0;
}

template <class F>
int32_t AdminCall(F&& f) noexcept {
    return Guarded([&]() -> HRESULT {
        f();
        return S_OK;
    });
}

std::string Arg(const char* s) {
    if (!s) throw MapiError(MAPI_E_INVALID_PARAMETER, "null argument");
    return s;
}

}  // namespace

NX_EXPORT HRESULT MAPIInitialize(LPVOID init) {
    auto* block = static_cast<MAPIINIT_0*>(init);
    if (block && block->ulVersion > MAPI_INIT_VERSION) return MAPI_E_VERSION;
    std::lock_guard lock(g_initLock);
    ++g_initCount;
    return S_OK;
}

NX_EXPORT void MAPIUninitialize() {
    std::lock_guard lock(g_initLock);
    if (g_initCount > 0 && --g_initCount == 0) DropCachedBuffers();
}

NX_EXPORT HRESULT MAPILogonEx(ULONG_PTR, LPTSTR profileName, LPTSTR, ULONG flags, LPMAPISESSION* session) {
    return Guarded([&]() -> HRESULT {
        if (!session) return MAPI_E_INVALID_PARAMETER;
        *session = nullptr;
        if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
        std::string name = TextArg(profileName, flags);
        std::vector<ProfileEntry> profiles = LoadProfiles();
        const ProfileEntry* chosen = nullptr;
        for (const auto& p : profiles) {
            bool match = name.empty() ? ((flags & MAPI_USE_DEFAULT) && p.isDefault)
                                      : nx::sys::EqualsIgnoreAsciiCase(p.name, name);
            if (match) {
                chosen = &p;
                break;
            }
        }
        if (!chosen) return MAPI_E_LOGON_FAILED;
        *session = NewSession(*chosen);
        return S_OK;
    });
}

NX_EXPORT SCODE MAPIAllocateBuffer(ULONG cb, LPVOID* buffer) {
    return AllocateBuffer(cb, buffer);
}

NX_EXPORT SCODE MAPIAllocateMore(ULONG cb, LPVOID parent, LPVOID* buffer) {
    return AllocateMore(cb, parent, buffer);
}

NX_EXPORT ULONG MAPIFreeBuffer(LPVOID buffer) {
    return FreeBuffer(buffer);
}

NX_EXPORT HRESULT MAPIAdminProfiles(ULONG, LPPROFADMIN* admin) {
    return Guarded([&]() -> HRESULT {
        if (!admin) return MAPI_E_INVALID_PARAMETER;
        *admin = nullptr;
        if (!Initialized()) return MAPI_E_NOT_INITIALIZED;
        *admin = NewProfAdmin();
        return S_OK;
    });
}

NX_EXPORT HRESULT HrGetOneProp(LPMAPIPROP obj, ULONG tag, LPSPropValue* value) {
    if (!obj || !value) return MAPI_E_INVALID_PARAMETER;
    *value = nullptr;
    SizedSPropTagArray<1> tags = {1, {tag}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = obj->GetProps(tags.get(), MAPI_UNICODE, &count, &values);
    if (FAILED(hr)) return hr;
    if (!values || count != 1) {
        FreeBuffer(values);
        return MAPI_E_NOT_FOUND;
    }
    if (PROP_TYPE(values[0].ulPropTag) == PT_ERROR) {
        HRESULT err = values[0].Value.err;
        FreeBuffer(values);
        return FAILED(err) ? err : MAPI_E_NOT_FOUND;
    }
    *value = values;
    return S_OK;
}

NX_EXPORT void FreeProws(LPSRowSet rows) {
    if (!rows) return;
    for (ULONG i = 0; i < rows->cRows; ++i) FreeBuffer(rows->aRow[i].lpProps);
    FreeBuffer(rows);
}

NX_EXPORT HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction res,
                                 LPSSortOrderSet sort, LONG maxRows, LPSRowSet* rows) {
    if (!table || !rows || maxRows < 0) return MAPI_E_INVALID_PARAMETER;
    *rows = nullptr;
    HRESULT hr;
    if (tags && FAILED(hr = table->SetColumns(tags, TBL_BATCH))) return hr;
    if (res && FAILED(hr = table->Restrict(res, TBL_BATCH))) return hr;
    if (sort && FAILED(hr = table->SortTable(sort, TBL_BATCH))) return hr;
    if (FAILED(hr = table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
    if (maxRows > 0) {
        ULONG count = 0;
        if (FAILED(hr = table->GetRowCount(0, &count))) return hr;
        if (count > static_cast<ULONG>(maxRows)) return MAPI_E_TABLE_TOO_BIG;
    }
    return table->QueryRows(0x7FFFFFFF, 0, rows);
}

// ---- Administration API ----

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminCreateProfile(const char* profileName, int makeDefault) {
    return AdminCall([&] { CreateProfile(Arg(profileName), makeDefault != 0); });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminDeleteProfile(const char* profileName) {
    return AdminCall([&] { DeleteProfile(Arg(profileName)); });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminSetDefaultProfile(const char* profileName) {
    return AdminCall([&] { SetDefaultProfile(Arg(profileName)); });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminAddStore(const char* profileName, const char* storeDisplayName,
                                                 uint32_t flags, char* entryIdHex, uint32_t entryIdHexSize) {
    return AdminCall([&] {
        std::string eid =
            AddStore(Arg(profileName), Arg(storeDisplayName), flags & NX_MAPI_STORE_DEFAULT,
                     flags & NX_MAPI_STORE_LONGTERM_IDS, flags & NX_MAPI_STORE_STANDARD_FOLDERS);
        std::string hex = ToHex(eid);
        if (entryIdHex && entryIdHexSize > hex.size()) std::memcpy(entryIdHex, hex.c_str(), hex.size() + 1);
    });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminRemoveStore(const char* profileName, const char* storeDisplayName) {
    return AdminCall([&] { RemoveStore(Arg(profileName), Arg(storeDisplayName)); });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminInitDefault(void) {
    return AdminCall([&] { InitDefaultWorld(); });
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminCreateStandardFolders(const char* profileName,
                                                              const char* storeDisplayName) {
    return AdminCall([&] { CreateStandardFolders(Arg(profileName), Arg(storeDisplayName)); });
}

namespace {

// One allocation holding the list, its records and their strings.
struct ListStorage {
    NxMapiProfileList list{};
    std::vector<NxMapiProfileInfo> profiles;
    std::vector<std::vector<NxMapiStoreInfo>> stores;
    std::vector<std::unique_ptr<std::string>> strings;
    const char* Keep(std::string s) {
        strings.push_back(std::make_unique<std::string>(std::move(s)));
        return strings.back()->c_str();
    }
};

// Lists handed out and not yet freed.
std::mutex g_listsLock;
std::map<NxMapiProfileList*, std::unique_ptr<ListStorage>> g_lists;

}  // namespace

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminListProfiles(NxMapiProfileList** out) {
    return AdminCall([&] {
        if (!out) throw MapiError(MAPI_E_INVALID_PARAMETER);
        *out = nullptr;
        auto profiles = LoadProfiles();
        auto holder = std::make_unique<ListStorage>();
        holder->stores.resize(profiles.size());
        for (std::size_t i = 0; i < profiles.size(); ++i) {
            for (const auto& s : profiles[i].stores) {
                NxMapiStoreInfo info{};
                info.displayName = holder->Keep(s.displayName);
                info.path = holder->Keep(s.path);
                info.entryIdHex = holder->Keep(ToHex(MakeStoreEntryId(s.uid)));
                info.isDefault = s.isDefault;
                info.longTermIds = s.longTermIds;
                try {
                    info.format = StoreFileFormat(s.path);  // read only: listing never upgrades a file
                } catch (const MapiError&) {
                    info.format = 0;
                }
                holder->stores[i].push_back(info);
            }
            NxMapiProfileInfo p{};
            p.name = holder->Keep(profiles[i].name);
            p.isDefault = profiles[i].isDefault;
            p.storeCount = static_cast<uint32_t>(holder->stores[i].size());
            p.stores = holder->stores[i].data();
            holder->profiles.push_back(p);
        }
        holder->list.profileCount = static_cast<uint32_t>(holder->profiles.size());
        holder->list.profiles = holder->profiles.data();
        NxMapiProfileList* list = &holder->list;
        std::lock_guard lock(g_listsLock);
        g_lists.emplace(list, std::move(holder));
        *out = list;
    });
}

NX_MAPI_ADMIN_EXPORT void NxMapiAdminFreeProfileList(NxMapiProfileList* list) {
    std::unique_ptr<ListStorage> holder;
    std::lock_guard lock(g_listsLock);
    auto it = g_lists.find(list);
    if (it == g_lists.end()) return;
    holder = std::move(it->second);
    g_lists.erase(it);
}

NX_MAPI_ADMIN_EXPORT int32_t NxMapiAdminDataFolder(char* buffer, uint32_t size) {
    return Guarded([&]() -> HRESULT {
        if (!buffer) return MAPI_E_INVALID_PARAMETER;
        std::string folder = DataFolder();
        if (size <= folder.size()) return MAPI_E_STRING_TOO_LONG;
        std::memcpy(buffer, folder.c_str(), folder.size() + 1);
        return S_OK;
    });
}

NX_MAPI_ADMIN_EXPORT const char* NxMapiAdminErrorText(int32_t hr) {
    switch (hr) {
        case S_OK:
            return "S_OK: success";
        case MAPI_E_NOT_FOUND:
            return "MAPI_E_NOT_FOUND: not found";
        case MAPI_E_COLLISION:
            return "MAPI_E_COLLISION: the name is already taken";
        case MAPI_E_INVALID_PARAMETER:
            return "MAPI_E_INVALID_PARAMETER: invalid argument";
        case MAPI_E_NOT_ENOUGH_MEMORY:
            return "MAPI_E_NOT_ENOUGH_MEMORY: out of memory";
        case MAPI_E_CORRUPT_STORE:
            return "MAPI_E_CORRUPT_STORE: the store file is damaged or not a store file";
        case MAPI_E_CORRUPT_DATA:
            return "MAPI_E_CORRUPT_DATA: stored data is damaged";
        case MAPI_E_NO_ACCESS:
            return "MAPI_E_NO_ACCESS: access denied";
        case MAPI_E_BUSY:
            return "MAPI_E_BUSY: the file is locked by another process";
        case MAPI_E_DISK_ERROR:
            return "MAPI_E_DISK_ERROR: input/output error";
        case MAPI_E_NOT_ENOUGH_DISK:
            return "MAPI_E_NOT_ENOUGH_DISK: the disk is full";
        case MAPI_E_VERSION:
            return "MAPI_E_VERSION: unknown file version";
        case MAPI_E_LOGON_FAILED:
            return "MAPI_E_LOGON_FAILED: no such profile";
        case MAPI_E_NO_SUPPORT:
            return "MAPI_E_NO_SUPPORT: not supported";
        case MAPI_E_CALL_FAILED:
            return "MAPI_E_CALL_FAILED: the call failed";
        default:
            return FAILED(hr) ? "MAPI error" : "success";
    }
}
