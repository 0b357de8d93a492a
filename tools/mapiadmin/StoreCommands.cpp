// The store commands: the stores of a profile, through the runtime's administration API.
#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/Commands.h"
#include "tools/mapiadmin/MapiRuntime.h"

namespace nx::mapiadmin {

void CmdStoreList(const Options& o, std::ostream& out) {
    const ProfileInfo p = FindProfile(o.profile);
    if (o.json) {
        ojson arr = ojson::array();
        for (const auto& st : p.stores) arr.push_back(StoreJson(st));
        WriteJson(arr, out);
        return;
    }
    for (const auto& st : p.stores) {
        out << st.name << "  " << st.entryIdHex;
        if (st.isDefault) out << "  default";
        if (st.longTermIds) out << "  long-term-ids";
        out << "  format " << st.format << "\n";
    }
}

void CmdStoreCreate(const Options& o, std::ostream& out) {
    const ProfileInfo p = FindProfile(o.profile);
    const std::string& name = o.args.at(0);
    uint32_t flags = 0;
    if (o.makeDefault) flags |= NX_MAPI_STORE_DEFAULT;
    if (o.longTermIds) flags |= NX_MAPI_STORE_LONGTERM_IDS;
    if (o.standardFolders) flags |= NX_MAPI_STORE_STANDARD_FOLDERS;
    char hex[1024] = {};
    const HRESULT hr = Runtime::Get().AddStore(p.name.c_str(), name.c_str(), flags, hex, sizeof hex);
    if (hr == MAPI_E_COLLISION)
        throw CommandError(kExitExists, "profile " + Quote(p.name) + " already has a store " + Quote(name));
    Check(hr, "cannot create store " + Quote(name) + " in profile " + Quote(p.name));
    out << hex << "\n";
}

void CmdStoreDelete(const Options& o, std::ostream&) {
    const ProfileInfo p = FindProfile(o.profile);
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().RemoveStore(p.name.c_str(), name.c_str());
    if (hr == MAPI_E_NOT_FOUND)
        throw CommandError(kExitNotFound, "no store " + Quote(name) + " in profile " + Quote(p.name));
    Check(hr, "cannot delete store " + Quote(name));
}

}  // namespace nx::mapiadmin
