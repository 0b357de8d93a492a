// A MAPI runtime that fails on request: it exports the ten entry points the agent binds, passes
// each call to the real runtime (NX_REAL_MAPI), and lets a test make the n-th call of
// HrQueryAllRows, of a session's GetMsgStoresTable or of its OpenMsgStore fail, so that the error
// branches of the readers (profile table, stores table and its rows, store open) run.
#include <atomic>
#include <cstdlib>
#include <cstring>

#include "platform/mapi/Mapi.h"
#include "platform/system/Module.h"

namespace {

void* Real(const char* name) {
    // Loaded for the life of the process, as the agent keeps its runtime.
    static const nx::sys::LoadedModule& runtime =
        *new nx::sys::LoadedModule(nx::sys::LoadedModule::Open(NX_REAL_MAPI));
    void* symbol = runtime.Symbol(name);
    if (symbol == nullptr) std::abort();  // the double is useless without the real runtime
    return symbol;
}

template <typename Fn>
Fn* Forward(const char* name) {
    return reinterpret_cast<Fn*>(Real(name));
}

// One call that fails on request.
struct Fault {
    std::atomic<int> callsUntil{0};       // 0: never; n: the n-th call from now fails
    std::atomic<bool> fromThenOn{false};  // and so does every call after it
    std::atomic<HRESULT> hr{S_OK};
    bool Now() {
        int left = callsUntil.load();
        for (;;) {
            if (left <= 0) return false;
            if (left == 1 && fromThenOn) return true;
            if (callsUntil.compare_exchange_weak(left, left - 1)) return left == 1;
        }
    }
};
Fault g_queryAllRows;
Fault g_storesTable;
Fault g_storeOpen;

// A session that passes every call to the real one but the two it is told to fail.
class FaultSession final : public IMAPISession {
public:
    explicit FaultSession(LPMAPISESSION real) : m_real(real) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
        return m_real->QueryInterface(riid, out);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG left = --m_refs;
        if (left == 0) {
            m_real->Release();
            delete this;
        }
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT hr, ULONG flags, LPMAPIERROR* error) override {
        return m_real->GetLastError(hr, flags, error);
    }
    HRESULT STDMETHODCALLTYPE GetMsgStoresTable(ULONG flags, LPMAPITABLE* table) override {
        if (g_storesTable.Now()) {
            if (table != nullptr) *table = nullptr;
            return g_storesTable.hr;
        }
        return m_real->GetMsgStoresTable(flags, table);
    }
    HRESULT STDMETHODCALLTYPE OpenMsgStore(ULONG_PTR ui, ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags,
                                           LPMDB* store) override {
        if (g_storeOpen.Now()) {
            if (store != nullptr) *store = nullptr;
            return g_storeOpen.hr;
        }
        return m_real->OpenMsgStore(ui, cb, id, iid, flags, store);
    }
    HRESULT STDMETHODCALLTYPE OpenAddressBook(ULONG_PTR ui, LPCIID iid, ULONG flags,
                                              LPADRBOOK* book) override {
        return m_real->OpenAddressBook(ui, iid, flags, book);
    }
    HRESULT STDMETHODCALLTYPE OpenProfileSection(LPMAPIUID uid, LPCIID iid, ULONG flags,
                                                 LPPROFSECT* section) override {
        return m_real->OpenProfileSection(uid, iid, flags, section);
    }
    HRESULT STDMETHODCALLTYPE GetStatusTable(ULONG flags, LPMAPITABLE* table) override {
        return m_real->GetStatusTable(flags, table);
    }
    HRESULT STDMETHODCALLTYPE OpenEntry(ULONG cb, LPENTRYID id, LPCIID iid, ULONG flags, ULONG* type,
                                        LPUNKNOWN* unk) override {
        return m_real->OpenEntry(cb, id, iid, flags, type, unk);
    }
    HRESULT STDMETHODCALLTYPE CompareEntryIDs(ULONG cb1, LPENTRYID id1, ULONG cb2, LPENTRYID id2, ULONG flags,
                                              ULONG* result) override {
        return m_real->CompareEntryIDs(cb1, id1, cb2, id2, flags, result);
    }
    HRESULT STDMETHODCALLTYPE Advise(ULONG cb, LPENTRYID id, ULONG mask, LPMAPIADVISESINK sink,
                                     ULONG* connection) override {
        return m_real->Advise(cb, id, mask, sink, connection);
    }
    HRESULT STDMETHODCALLTYPE Unadvise(ULONG connection) override { return m_real->Unadvise(connection); }
    HRESULT STDMETHODCALLTYPE MessageOptions(ULONG_PTR ui, ULONG flags, LPTSTR type,
                                             LPMESSAGE message) override {
        return m_real->MessageOptions(ui, flags, type, message);
    }
    HRESULT STDMETHODCALLTYPE QueryDefaultMessageOpt(LPTSTR type, ULONG flags, ULONG* count,
                                                     LPSPropValue* options) override {
        return m_real->QueryDefaultMessageOpt(type, flags, count, options);
    }
    HRESULT STDMETHODCALLTYPE EnumAdrTypes(ULONG flags, ULONG* count, LPTSTR** types) override {
        return m_real->EnumAdrTypes(flags, count, types);
    }
    HRESULT STDMETHODCALLTYPE QueryIdentity(ULONG* cb, LPENTRYID* id) override {
        return m_real->QueryIdentity(cb, id);
    }
    HRESULT STDMETHODCALLTYPE Logoff(ULONG_PTR ui, ULONG flags, ULONG reserved) override {
        return m_real->Logoff(ui, flags, reserved);
    }
    HRESULT STDMETHODCALLTYPE SetDefaultStore(ULONG flags, ULONG cb, LPENTRYID id) override {
        return m_real->SetDefaultStore(flags, cb, id);
    }
    HRESULT STDMETHODCALLTYPE AdminServices(ULONG flags, LPSERVICEADMIN* admin) override {
        return m_real->AdminServices(flags, admin);
    }
    HRESULT STDMETHODCALLTYPE ShowForm(ULONG_PTR ui, LPMDB store, LPMAPIFOLDER parent, LPCIID iid,
                                       ULONG token, LPMESSAGE sent, ULONG flags, ULONG status,
                                       ULONG messageFlags, ULONG access, LPSTR messageClass) override {
        return m_real->ShowForm(ui, store, parent, iid, token, sent, flags, status, messageFlags, access,
                                messageClass);
    }
    HRESULT STDMETHODCALLTYPE PrepareForm(LPCIID iid, LPMESSAGE message, ULONG* token) override {
        return m_real->PrepareForm(iid, message, token);
    }

private:
    ~FaultSession() = default;
    LPMAPISESSION m_real;
    std::atomic<ULONG> m_refs{1};
};

}  // namespace

#ifdef _WIN32
#define NX_EXPORT extern "C"  // tests/windows/fault_mapi32.def lists the exports and their ordinals
#else
#define NX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// The control: the `nth` call from now of `call` ("HrQueryAllRows", "GetMsgStoresTable",
// "OpenMsgStore") returns `hr`; -nth: that call and every one after it; 0 clears it. An unknown
// name changes nothing.
NX_EXPORT void NxFailCall(const char* call, int nth, HRESULT hr) {
    Fault* fault = std::strcmp(call, "HrQueryAllRows") == 0      ? &g_queryAllRows
                   : std::strcmp(call, "GetMsgStoresTable") == 0 ? &g_storesTable
                   : std::strcmp(call, "OpenMsgStore") == 0      ? &g_storeOpen
                                                                 : nullptr;
    if (fault == nullptr) return;
    fault->hr = hr;
    fault->fromThenOn = nth < 0;
    fault->callsUntil = nth < 0 ? -nth : nth;
}

NX_EXPORT HRESULT MAPIInitialize(LPVOID init) {
    return Forward<MAPIINITIALIZE>("MAPIInitialize")(init);
}
NX_EXPORT void MAPIUninitialize() {
    Forward<MAPIUNINITIALIZE>("MAPIUninitialize")();
}
NX_EXPORT HRESULT MAPILogonEx(ULONG_PTR ui, LPTSTR profile, LPTSTR password, ULONG flags,
                              LPMAPISESSION* session) {
    const HRESULT hr = Forward<MAPILOGONEX>("MAPILogonEx")(ui, profile, password, flags, session);
    // The agent gets the failing session; it holds the one reference to the real one.
    if (SUCCEEDED(hr) && session != nullptr && *session != nullptr) *session = new FaultSession(*session);
    return hr;
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
    if (g_queryAllRows.Now()) {
        if (rows != nullptr) *rows = nullptr;
        return g_queryAllRows.hr;
    }
    return Forward<HRQUERYALLROWS>("HrQueryAllRows")(table, tags, restriction, order, max, rows);
}
