// The MAPI runtime as mapiadmin uses it: libmapi32.so (MAPI32.dll on Windows) opened at run time
// through the module seam (beside the executable, as the agent opens it), its 10 MAPI entry
// points and its administration API, a logged-on session, and the errors and exit codes of the
// tool.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/mapi/Mapi.h"
#include "platform/mapi32/Admin.h"

namespace nx::mapiadmin {

// Exit codes of mapiadmin (docs/mapiadmin.md lists them).
enum ExitCode : int {
    kExitOk = 0,
    kExitFailure = 1,   // the runtime failed (or could not be loaded)
    kExitUsage = 2,     // bad command line
    kExitInput = 3,     // bad input file: JSON syntax or item format, unreadable file
    kExitNotFound = 4,  // unknown profile, store, folder or item
    kExitExists = 5,    // the profile, store or folder already exists
};

class CommandError : public std::runtime_error {
public:
    CommandError(int exitCode, const std::string& message)
        : std::runtime_error(message), m_exitCode(exitCode) {}
    int ExitStatus() const { return m_exitCode; }

private:
    int m_exitCode;
};

struct Runtime {
    MapiFunctions mapi;
    decltype(&NxMapiAdminCreateProfile) CreateProfile = nullptr;
    decltype(&NxMapiAdminDeleteProfile) DeleteProfile = nullptr;
    decltype(&NxMapiAdminSetDefaultProfile) SetDefaultProfile = nullptr;
    decltype(&NxMapiAdminAddStore) AddStore = nullptr;
    decltype(&NxMapiAdminRemoveStore) RemoveStore = nullptr;
    decltype(&NxMapiAdminInitDefault) InitDefault = nullptr;
    decltype(&NxMapiAdminCreateStandardFolders) CreateStandardFolders = nullptr;
    decltype(&NxMapiAdminListProfiles) ListProfiles = nullptr;
    decltype(&NxMapiAdminFreeProfileList) FreeProfileList = nullptr;
    decltype(&NxMapiAdminErrorText) ErrorText = nullptr;

    // Opens the runtime once (from the executable's folder, else the library search path) and
    // binds every function; CommandError when the library or a function is missing.
    static const Runtime& Get();
};

// "what: MAPI_E_NOT_FOUND: not found (0x8004010F)" with the exit code the HRESULT calls for
// (kExitNotFound, kExitExists or kExitFailure).
[[noreturn]] void ThrowHr(const std::string& what, HRESULT hr);

// A snapshot of the profiles and their stores (owning copies of the runtime's list).
struct StoreInfo {
    std::string name, path, entryIdHex;
    bool isDefault = false;
    bool longTermIds = false;
    int format = 0;  // the store file's format; 0: unreadable
};
struct ProfileInfo {
    std::string name;
    bool isDefault = false;
    std::vector<StoreInfo> stores;
};
std::vector<ProfileInfo> ListProfiles();

// The profile a command works on: the named one, or the default one when name is empty.
// CommandError(kExitNotFound) naming the problem when there is no such profile.
ProfileInfo FindProfile(const std::string& name);

// A MAPI session on one profile, initialised and logged on for the life of the object.
class Session {
public:
    explicit Session(const std::string& profileName);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    const Runtime& Rt() const { return m_rt; }
    IMAPISession* Get() const { return m_session.get(); }
    const ProfileInfo& Profile() const { return m_profile; }

    // Opens a store of the profile by its entry id (bytes).
    ComPtr<IMsgStore> OpenStore(const std::string& entryId) const;

private:
    const Runtime& m_rt;
    ProfileInfo m_profile;
    bool m_initialized = false;
    ComPtr<IMAPISession> m_session;
};

}  // namespace nx::mapiadmin
