// The profile list: $XDG_DATA_HOME/nxmapi/profiles.db (SQLite; application_id 'NXMP') names the
// profiles, the default profile, and the stores of each profile; the stores themselves are files
// under $XDG_DATA_HOME/nxmapi/stores/. Names compare without ASCII case, as Windows profile
// names do.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/mapi32/EntryId.h"
#include "platform/mapi32/Storage.h"

namespace nx::mapi32 {

struct StoreEntry {
    std::string displayName;
    Uid uid{};
    std::string path;  // absolute
    bool isDefault = false;
    bool longTermIds = false;
};

struct ProfileEntry {
    std::string name;
    bool isDefault = false;
    std::vector<StoreEntry> stores;
};

// The data folder, created when missing. Throws MapiError(MAPI_E_NOT_FOUND) when there is none.
std::string DataFolder();

// Every profile in creation order; empty when none is configured.
std::vector<ProfileEntry> LoadProfiles();

// Administration (throw MapiError on failure).
void CreateProfile(const std::string& name, bool makeDefault);
void DeleteProfile(const std::string& name);
void SetDefaultProfile(const std::string& name);
// Returns the new store's entry id.
std::string AddStore(const std::string& profile, const std::string& displayName, bool makeDefault,
                     bool longTermIds, bool standardFolders);
void RemoveStore(const std::string& profile, const std::string& displayName);
void CreateStandardFolders(const std::string& profile, const std::string& displayName);
void InitDefaultWorld();

// A store file shared by every object of the process that uses it; `mutex` serialises all
// access to the store.
struct StoreBackend {
    std::mutex mutex;
    std::unique_ptr<Storage> storage;
    std::string path;
};
// Opens the store file (or shares the one already open). Throws MapiError.
std::shared_ptr<StoreBackend> AcquireStore(const std::string& path);

// Gives a store the standard folders (missing ones are created) and wires the receive folder
// and the default-folder entry ids. The caller holds the backend's mutex.
void MakeStandardFolders(Storage& storage);

}  // namespace nx::mapi32
