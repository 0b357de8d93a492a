#include "common/MapiFunctions.h"

#include "platform/system/DebugOutput.h"
#include "platform/system/Module.h"
#include "platform/system/Paths.h"

namespace {

MapiFunctions g_table;
// Never unloaded at exit: objects of the library may still be released by other static
// destructors.
nx::sys::LoadedModule& g_module = *new nx::sys::LoadedModule;

template <typename Fn>
bool Bind(Fn*& slot, const char* name) {
    void* symbol = g_module.Symbol(name);
    if (symbol == nullptr) return false;
    slot = reinterpret_cast<Fn*>(symbol);
    return true;
}

}  // namespace

const MapiFunctions& MapiTable() {
    return g_table;
}

bool LoadMapiLibrary(std::string_view executableFolder) {
    if (g_module) return true;
    if (!executableFolder.empty())
        g_module = nx::sys::LoadedModule::Open(nx::sys::JoinPath(executableFolder, kMapiLibraryName));
    if (!g_module) g_module = nx::sys::LoadedModule::Open(kMapiLibraryName);
    return static_cast<bool>(g_module);
}

bool MapiLibraryLoaded() {
    return static_cast<bool>(g_module);
}

bool LoadMapiFunctions() {
    nx::sys::OutputDebugString("#### Load dovlib32.dll function enter ####");
    if (!g_module) return false;
    MapiFunctions& t = g_table;
    const char* const* n = kMapiEntryPointNames;
    const bool all = Bind(t.MAPIInitialize, n[0]) && Bind(t.MAPIUninitialize, n[1]) &&
                     Bind(t.MAPILogonEx, n[2]) && Bind(t.MAPIAllocateBuffer, n[3]) &&
                     Bind(t.MAPIAllocateMore, n[4]) && Bind(t.MAPIFreeBuffer, n[5]) &&
                     Bind(t.MAPIAdminProfiles, n[6]) && Bind(t.HrGetOneProp, n[7]) &&
                     Bind(t.FreeProws, n[8]) && Bind(t.HrQueryAllRows, n[9]);
    if (!all) return false;
    nx::sys::OutputDebugString("#### Load dovlib32.dll function return TRUE ####");
    return true;
}

bool MapiFunctionsComplete() {
    const MapiFunctions& t = g_table;
    return t.MAPIInitialize && t.MAPIUninitialize && t.MAPILogonEx && t.MAPIAllocateBuffer &&
           t.MAPIAllocateMore && t.MAPIFreeBuffer && t.MAPIAdminProfiles && t.HrGetOneProp && t.FreeProws &&
           t.HrQueryAllRows;
}

void ResetMapiFunctionsForTesting() {
    g_table = MapiFunctions{};
    g_module.Close();
}
