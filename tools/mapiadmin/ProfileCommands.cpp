// init and the profile commands: the runtime's administration API, no MAPI session.
#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/Commands.h"
#include "tools/mapiadmin/MapiRuntime.h"

namespace nx::mapiadmin {

void CmdInit(const Options&, std::ostream& out) {
    const HRESULT hr = Runtime::Get().InitDefault();
    if (hr == MAPI_E_COLLISION)
        throw CommandError(kExitExists, "profile \"Outlook\" already exists; nothing was changed");
    Check(hr, "cannot create the default profile");
    out << "created profile \"Outlook\" (default) with store \"Personal Folders\" (default) and the standard "
           "folders\n";
}

void CmdProfileList(const Options& o, std::ostream& out) {
    const auto profiles = ListProfiles();
    if (o.json) {
        ojson arr = ojson::array();
        for (const auto& p : profiles) {
            ojson stores = ojson::array();
            for (const auto& st : p.stores) stores.push_back(StoreJson(st));
            arr.push_back(
                {{"name", JsonName(p.name)}, {"default", p.isDefault}, {"stores", std::move(stores)}});
        }
        WriteJson(arr, out);
        return;
    }
    for (const auto& p : profiles) out << p.name << (p.isDefault ? "  (default)" : "") << "\n";
}

void CmdProfileCreate(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().CreateProfile(name.c_str(), o.makeDefault ? 1 : 0);
    if (hr == MAPI_E_COLLISION) throw CommandError(kExitExists, "profile " + Quote(name) + " already exists");
    Check(hr, "cannot create profile " + Quote(name));
}

void CmdProfileDelete(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().DeleteProfile(name.c_str());
    if (hr == MAPI_E_NOT_FOUND) throw CommandError(kExitNotFound, "unknown profile " + Quote(name));
    Check(hr, "cannot delete profile " + Quote(name));
}

void CmdProfileSetDefault(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().SetDefaultProfile(name.c_str());
    if (hr == MAPI_E_NOT_FOUND) throw CommandError(kExitNotFound, "unknown profile " + Quote(name));
    Check(hr, "cannot make profile " + Quote(name) + " the default");
}

}  // namespace nx::mapiadmin
