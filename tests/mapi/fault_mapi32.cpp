// A MAPI runtime that fails on request: it exports the ten entry points the agent binds, passes
// each call to the real runtime (NX_REAL_MAPI), and lets a test make the n-th HrQueryAllRows
// call fail, so that the error branches of the readers (profile table, stores table rows) run.
#include <dlfcn.h>

#include <atomic>
#include <cstdlib>

#include "platform/mapi/Mapi.h"

namespace {

void* Real(const char* name) {
    static void* const runtime = ::dlopen(NX_REAL_MAPI, RTLD_NOW | RTLD_LOCAL);
    void* symbol = runtime != nullptr ? ::dlsym(runtime, name) : nullptr;
    if (symbol == nullptr) std::abort();  // the double is useless without the real runtime
    return symbol;
}

template <typename Fn>
Fn* Forward(const char* name) {
    return reinterpret_cast<Fn*>(Real(name));
}

std::atomic<int> g_rowsCallsUntilFault{0};  // 0: never; n: the n-th call from now fails
std::atomic<HRESULT> g_rowsFault{S_OK};

}  // namespace

#define NX_EXPORT extern "C" __attribute__((visibility("default")))

// The control: the `nth` HrQueryAllRows call from now returns `hr` (nth 0: no fault).
NX_EXPORT void NxFailQueryAllRows(int nth, HRESULT hr) {
    g_rowsFault = hr;
    g_rowsCallsUntilFault = nth;
}

NX_EXPORT HRESULT MAPIInitialize(LPVOID init) {
    return Forward<MAPIINITIALIZE>("MAPIInitialize")(init);
}
NX_EXPORT void MAPIUninitialize() {
    Forward<MAPIUNINITIALIZE>("MAPIUninitialize")();
}
NX_EXPORT HRESULT MAPILogonEx(ULONG_PTR ui, LPTSTR profile, LPTSTR password, ULONG flags,
                              LPMAPISESSION* session) {
    return Forward<MAPILOGONEX>("MAPILogonEx")(ui, profile, password, flags, session);
}
NX_EXPORT SCODE MAPIAllocateBuffer(ULONG size, LPVOID* buffer) {
    return Forward<MAPIALLOCATEBUFFER>("MAPIAllocateBuffer")(size, buffer);
}
NX_EXPORT SCODE MAPIAllocateMore(ULONG size, LPVOID object, LPVOID* buffer) {
    return Forward<MAPIALLOCATEMORE>("MAPIAllocateMore")(size, object, buffer);
}
NX_EXPORT ULONG MAPIFreeBuffer(LPVOID buffer) {
    return Forward<MAPIFREEBUFFER>("MAPIFreeBuffer")(buffer);
}
NX_EXPORT HRESULT MAPIAdminProfiles(ULONG flags, LPPROFADMIN* admin) {
    return Forward<MAPIADMINPROFILES>("MAPIAdminProfiles")(flags, admin);
}
NX_EXPORT HRESULT HrGetOneProp(LPMAPIPROP object, ULONG tag, LPSPropValue* value) {
    return Forward<HRGETONEPROP>("HrGetOneProp")(object, tag, value);
}
NX_EXPORT void FreeProws(LPSRowSet rows) {
    Forward<FREEPROWS>("FreeProws")(rows);
}
NX_EXPORT HRESULT HrQueryAllRows(LPMAPITABLE table, LPSPropTagArray tags, LPSRestriction restriction,
                                 LPSSortOrderSet order, LONG max, LPSRowSet* rows) {
    if (g_rowsCallsUntilFault > 0 && --g_rowsCallsUntilFault == 0) {
        if (rows != nullptr) *rows = nullptr;
        return g_rowsFault;
    }
    return Forward<HRQUERYALLROWS>("HrQueryAllRows")(table, tags, restriction, order, max, rows);
}
