// The 10 entry points of the MAPI runtime library, as function-pointer types with the documented
// signatures, and the table the agent binds them into. On Windows the runtime is "MAPI32.dll"
// and HrGetOneProp, FreeProws and HrQueryAllRows are looked up by export ordinal (135, 140, 75);
// the Linux runtime (libmapi32.so) has no export ordinals, so there all ten go by name.
#pragma once

#include <type_traits>

#include "platform/mapi/MapiInterfaces.h"

extern "C" {
using MAPIINITIALIZE = HRESULT STDAPICALLTYPE(LPVOID lpMapiInit);
using MAPIUNINITIALIZE = void STDAPICALLTYPE();
using MAPILOGONEX = HRESULT STDAPICALLTYPE(ULONG_PTR ulUIParam, LPTSTR lpszProfileName, LPTSTR lpszPassword,
                                           ULONG ulFlags, LPMAPISESSION* lppSession);
using MAPIALLOCATEBUFFER = SCODE STDAPICALLTYPE(ULONG cbSize, LPVOID* lppBuffer);
using MAPIALLOCATEMORE = SCODE STDAPICALLTYPE(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer);
using MAPIFREEBUFFER = ULONG STDAPICALLTYPE(LPVOID lpBuffer);
using MAPIADMINPROFILES = HRESULT STDAPICALLTYPE(ULONG ulFlags, LPPROFADMIN* lppProfAdmin);
using HRGETONEPROP = HRESULT STDAPICALLTYPE(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp);
using FREEPROWS = void STDAPICALLTYPE(LPSRowSet lpRows);
using HRQUERYALLROWS = HRESULT STDAPICALLTYPE(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags,
                                              LPSRestriction lpRestriction, LPSSortOrderSet lpSortOrderSet,
                                              LONG crowsMax, LPSRowSet* lppRows);
}

using LPMAPIINITIALIZE = MAPIINITIALIZE*;
using LPMAPIUNINITIALIZE = MAPIUNINITIALIZE*;
using LPMAPILOGONEX = MAPILOGONEX*;
using LPMAPIALLOCATEBUFFER = MAPIALLOCATEBUFFER*;
using LPMAPIALLOCATEMORE = MAPIALLOCATEMORE*;
using LPMAPIFREEBUFFER = MAPIFREEBUFFER*;
using LPMAPIADMINPROFILES = MAPIADMINPROFILES*;
using LPHRGETONEPROP = HRGETONEPROP*;
using LPFREEPROWS = FREEPROWS*;
using LPHRQUERYALLROWS = HRQUERYALLROWS*;

// Export names, in the order the agent binds them ("#n": export ordinal n, the form
// platform/system/Module.h looks ordinals up by), and the runtime's file name.
#ifdef _WIN32
inline constexpr const char* kMapiRuntimeFileName = "MAPI32.dll";
inline constexpr const char* kMapiEntryPointNames[10] = {"MAPIInitialize",
                                                         "MAPIUninitialize",
                                                         "MAPILogonEx",
                                                         "MAPIAllocateBuffer",
                                                         "MAPIAllocateMore",
                                                         "MAPIFreeBuffer",
                                                         "MAPIAdminProfiles",
                                                         "#135",
                                                         "#140",
                                                         "#75"};
#else
inline constexpr const char* kMapiRuntimeFileName = "libmapi32.so";
inline constexpr const char* kMapiEntryPointNames[10] = {
    "MAPIInitialize", "MAPIUninitialize",  "MAPILogonEx",  "MAPIAllocateBuffer", "MAPIAllocateMore",
    "MAPIFreeBuffer", "MAPIAdminProfiles", "HrGetOneProp", "FreeProws",          "HrQueryAllRows"};
#endif

// The table of bound entry points; every member null until bound.
struct MapiFunctions {
    LPMAPIINITIALIZE MAPIInitialize = nullptr;
    LPMAPIUNINITIALIZE MAPIUninitialize = nullptr;
    LPMAPILOGONEX MAPILogonEx = nullptr;
    LPMAPIALLOCATEBUFFER MAPIAllocateBuffer = nullptr;
    LPMAPIALLOCATEMORE MAPIAllocateMore = nullptr;
    LPMAPIFREEBUFFER MAPIFreeBuffer = nullptr;
    LPMAPIADMINPROFILES MAPIAdminProfiles = nullptr;
    LPHRGETONEPROP HrGetOneProp = nullptr;
    LPFREEPROWS FreeProws = nullptr;
    LPHRQUERYALLROWS HrQueryAllRows = nullptr;
};

// Binds the ten entries into `table` in the order above, each through lookup(name) (a module's
// symbol lookup: a name, or "#n" for an export ordinal on Windows). Returns the name of the first
// entry not found, leaving it and the rest unbound, or null when all ten were found.
template <class Lookup>
const char* BindMapiEntryPoints(MapiFunctions& table, Lookup&& lookup) {
    const char* const* n = kMapiEntryPointNames;
    // Why a cast per slot: a module hands out untyped addresses; each slot's type is the
    // documented signature of the entry it names.
    auto bind = [&](auto& slot, const char* name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(lookup(name));
        return slot != nullptr;
    };
    if (!bind(table.MAPIInitialize, n[0])) return n[0];
    if (!bind(table.MAPIUninitialize, n[1])) return n[1];
    if (!bind(table.MAPILogonEx, n[2])) return n[2];
    if (!bind(table.MAPIAllocateBuffer, n[3])) return n[3];
    if (!bind(table.MAPIAllocateMore, n[4])) return n[4];
    if (!bind(table.MAPIFreeBuffer, n[5])) return n[5];
    if (!bind(table.MAPIAdminProfiles, n[6])) return n[6];
    if (!bind(table.HrGetOneProp, n[7])) return n[7];
    if (!bind(table.FreeProws, n[8])) return n[8];
    if (!bind(table.HrQueryAllRows, n[9])) return n[9];
    return nullptr;
}
