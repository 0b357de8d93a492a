#include "tools/mapiadmin/MapiRuntime.h"

#include <cstdio>

#include "platform/system/Module.h"
#include "platform/system/Paths.h"
#include "platform/system/Utf.h"
#include "tools/mapiadmin/ItemModel.h"

namespace nx::mapiadmin {
namespace {

// The runtime beside the executable (as the agent loads it), else wherever the system looks.
sys::LoadedModule OpenLibrary() {
    const std::string exe = sys::ExecutablePath();
    if (!exe.empty())
        if (auto module = sys::LoadedModule::Open(sys::FolderWithSeparator(exe) + kMapiRuntimeFileName))
            return module;
    if (auto module = sys::LoadedModule::Open(kMapiRuntimeFileName)) return module;
    throw CommandError(kExitFailure, std::string("cannot load the MAPI runtime ") + kMapiRuntimeFileName);
}

template <class F>
void Bind(const sys::LoadedModule& lib, const char* name, F& out) {
    out = reinterpret_cast<F>(lib.Symbol(name));
    if (!out)
        throw CommandError(kExitFailure, std::string(kMapiRuntimeFileName) + " has no function " + name);
}

Runtime LoadRuntime() {
    // The library stays loaded for the life of the process (never closed, not even at exit):
    // objects it made may be released during exit.
    static const sys::LoadedModule& lib = *new sys::LoadedModule(OpenLibrary());
    Runtime rt;
    // The ten entry points under the names (or, on Windows, ordinals) the agent binds them by.
    if (const char* missing = BindMapiEntryPoints(rt.mapi, [](const char* name) { return lib.Symbol(name); }))
        throw CommandError(kExitFailure, std::string(kMapiRuntimeFileName) + " has no function " + missing);
    Bind(lib, "NxMapiAdminCreateProfile", rt.CreateProfile);
    Bind(lib, "NxMapiAdminDeleteProfile", rt.DeleteProfile);
    Bind(lib, "NxMapiAdminSetDefaultProfile", rt.SetDefaultProfile);
    Bind(lib, "NxMapiAdminAddStore", rt.AddStore);
    Bind(lib, "NxMapiAdminRemoveStore", rt.RemoveStore);
    Bind(lib, "NxMapiAdminInitDefault", rt.InitDefault);
    Bind(lib, "NxMapiAdminCreateStandardFolders", rt.CreateStandardFolders);
    Bind(lib, "NxMapiAdminListProfiles", rt.ListProfiles);
    Bind(lib, "NxMapiAdminFreeProfileList", rt.FreeProfileList);
    Bind(lib, "NxMapiAdminErrorText", rt.ErrorText);
    return rt;
}

}  // namespace

const Runtime& Runtime::Get() {
    static const Runtime rt = LoadRuntime();
    return rt;
}

void ThrowHr(const std::string& what, HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    std::string text;
    try {
        const char* t = Runtime::Get().ErrorText(hr);
        if (t) text = t;
    } catch (const CommandError&) {
    }
    const int exit = hr == MAPI_E_NOT_FOUND   ? kExitNotFound
                     : hr == MAPI_E_COLLISION ? kExitExists
                                              : kExitFailure;
    throw CommandError(exit, what + ": " + (text.empty() ? "" : text + " ") + "(" + code + ")");
}

std::vector<ProfileInfo> ListProfiles() {
    const Runtime& rt = Runtime::Get();
    NxMapiProfileList* list = nullptr;
    const HRESULT hr = rt.ListProfiles(&list);
    if (FAILED(hr)) ThrowHr("cannot list the profiles", hr);
    std::vector<ProfileInfo> out;
    for (uint32_t i = 0; list && i < list->profileCount; ++i) {
        const NxMapiProfileInfo& p = list->profiles[i];
        ProfileInfo info{p.name ? p.name : "", p.isDefault != 0, {}};
        for (uint32_t k = 0; k < p.storeCount; ++k) {
            const NxMapiStoreInfo& s = p.stores[k];
            info.stores.push_back(StoreInfo{s.displayName ? s.displayName : "", s.path ? s.path : "",
                                            s.entryIdHex ? s.entryIdHex : "", s.isDefault != 0,
                                            s.longTermIds != 0});
        }
        out.push_back(std::move(info));
    }
    if (list) rt.FreeProfileList(list);
    return out;
}

ProfileInfo FindProfile(const std::string& name) {
    const auto profiles = ListProfiles();
    if (profiles.empty())
        throw CommandError(kExitNotFound,
                           "no profile is configured (create one with \"mapiadmin init\" or "
                           "\"mapiadmin profile create\")");
    for (const auto& p : profiles)
        if (name.empty() ? p.isDefault : p.name == name) return p;
    if (name.empty()) throw CommandError(kExitNotFound, "no profile is the default profile");
    throw CommandError(kExitNotFound, "unknown profile \"" + name + "\"");
}

Session::Session(const std::string& profileName) : m_rt(Runtime::Get()), m_profile(FindProfile(profileName)) {
    MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
    HRESULT hr = m_rt.mapi.MAPIInitialize(&init);
    if (FAILED(hr)) ThrowHr("MAPIInitialize failed", hr);
    m_initialized = true;
    std::u16string name = sys::Utf8ToUtf16(m_profile.name);
    const ULONG flags = MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_UNICODE | MAPI_EXPLICIT_PROFILE;
    hr = m_rt.mapi.MAPILogonEx(0, name.data(), nullptr, flags, m_session.put());
    if (FAILED(hr) || !m_session) {
        m_session.reset();
        m_rt.mapi.MAPIUninitialize();
        m_initialized = false;
        ThrowHr("cannot log on to profile \"" + m_profile.name + "\"", FAILED(hr) ? hr : MAPI_E_CALL_FAILED);
    }
}

Session::~Session() {
    if (m_session) {
        m_session->Logoff(0, 0, 0);
        m_session.reset();
    }
    if (m_initialized) m_rt.mapi.MAPIUninitialize();
}

ComPtr<IMsgStore> Session::OpenStore(const std::string& entryId) const {
    ComPtr<IMsgStore> store;
    const HRESULT hr = m_session->OpenMsgStore(
        0, static_cast<ULONG>(entryId.size()), reinterpret_cast<LPENTRYID>(const_cast<char*>(entryId.data())),
        nullptr, MDB_WRITE | MAPI_BEST_ACCESS | MDB_NO_DIALOG, store.put());
    if (FAILED(hr) || !store)
        ThrowHr("cannot open store " + ToHex(entryId), FAILED(hr) ? hr : MAPI_E_CALL_FAILED);
    return store;
}

}  // namespace nx::mapiadmin
