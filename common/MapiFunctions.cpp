#include "common/MapiFunctions.h"

#include "platform/system/DebugOutput.h"
#include "platform/system/Module.h"
#include "platform/system/Paths.h"

namespace {

MapiFunctions g_table;
// Never unloaded at exit: objects of the library may still be released by other static
// destructors.
nx::sys::LoadedModule& g_module = *new nx::sys::LoadedModule;

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
    const bool all =
        BindMapiEntryPoints(g_table, [](const char* name) { return g_module.Symbol(name); }) == nullptr;
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
