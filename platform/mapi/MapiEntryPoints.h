// The 10 entry points of the MAPI runtime library, as function-pointer types with the documented
// signatures, and the table the agent binds them into. The runtime (libmapi32.so) exports them
// with C linkage under these names; on Linux there are no export ordinals, so HrGetOneProp,
// FreeProws and HrQueryAllRows are looked up by name.
#pragma once

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

// Export names, in the order the agent binds them.
inline constexpr const char* kMapiEntryPointNames[10] = {
    "MAPIInitialize", "MAPIUninitialize",  "MAPILogonEx",  "MAPIAllocateBuffer", "MAPIAllocateMore",
    "MAPIFreeBuffer", "MAPIAdminProfiles", "HrGetOneProp", "FreeProws",          "HrQueryAllRows"};

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
