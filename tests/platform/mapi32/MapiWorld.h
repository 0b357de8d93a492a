// Test support: a temporary world (tests/support/TempWorld.h) per test and libmapi32.so loaded
// with dlopen and bound the way the agent binds it, plus the administration API.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/mapi/Mapi.h"
#include "platform/mapi32/Admin.h"
#include "tests/support/TempWorld.h"

namespace nx::test {

struct AdminApi {
    decltype(&NxMapiAdminCreateProfile) CreateProfile;
    decltype(&NxMapiAdminDeleteProfile) DeleteProfile;
    decltype(&NxMapiAdminSetDefaultProfile) SetDefaultProfile;
    decltype(&NxMapiAdminAddStore) AddStore;
    decltype(&NxMapiAdminRemoveStore) RemoveStore;
    decltype(&NxMapiAdminInitDefault) InitDefault;
    decltype(&NxMapiAdminCreateStandardFolders) CreateStandardFolders;
    decltype(&NxMapiAdminListProfiles) ListProfiles;
    decltype(&NxMapiAdminFreeProfileList) FreeProfileList;
    decltype(&NxMapiAdminDataFolder) DataFolder;
};

// The library, loaded once per process.
struct MapiLibrary {
    void* handle = nullptr;
    MapiFunctions fn;
    AdminApi admin{};

    static MapiLibrary& Get() {
        static MapiLibrary lib;
        return lib;
    }

private:
    template <class T>
    void Bind(T& slot, const char* name) {
        slot = reinterpret_cast<T>(dlsym(handle, name));
        if (!slot) ADD_FAILURE() << "missing export " << name;
    }
    MapiLibrary() {
        handle = dlopen(NX_BIN_DIR "/libmapi32.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            ADD_FAILURE() << dlerror();
            return;
        }
        if (const char* missing =
                BindMapiEntryPoints(fn, [this](const char* name) { return dlsym(handle, name); }))
            ADD_FAILURE() << "missing export " << missing;
        Bind(admin.CreateProfile, "NxMapiAdminCreateProfile");
        Bind(admin.DeleteProfile, "NxMapiAdminDeleteProfile");
        Bind(admin.SetDefaultProfile, "NxMapiAdminSetDefaultProfile");
        Bind(admin.AddStore, "NxMapiAdminAddStore");
        Bind(admin.RemoveStore, "NxMapiAdminRemoveStore");
        Bind(admin.InitDefault, "NxMapiAdminInitDefault");
        Bind(admin.CreateStandardFolders, "NxMapiAdminCreateStandardFolders");
        Bind(admin.ListProfiles, "NxMapiAdminListProfiles");
        Bind(admin.FreeProfileList, "NxMapiAdminFreeProfileList");
        Bind(admin.DataFolder, "NxMapiAdminDataFolder");
    }
};

// Flags the agent logs on with.
inline constexpr ULONG kLogonNamed = 0x80100032;
inline constexpr ULONG kLogonDefault = 0x80100072;

// Property values for SetProps and restrictions: Val(PR_PRIORITY, {.l = 1}).
inline SPropValue Val(ULONG tag, PV value) {
    SPropValue v{};
    v.ulPropTag = tag;
    v.Value = value;
    return v;
}
inline SPropValue Text(ULONG tag, const char16_t* value) {
    return Val(tag, {.lpszW = const_cast<LPWSTR>(value)});
}
inline std::string Bytes(const SBinary& b) {
    return std::string(reinterpret_cast<const char*>(b.lpb), b.cb);
}
// A restriction on one property value (RES_PROPERTY, or RES_CONTENT with fuzzy-level flags).
inline SRestriction PropRes(ULONG relop, SPropValue* v, bool content = false) {
    SRestriction r{};
    r.rt = content ? RES_CONTENT : RES_PROPERTY;
    if (content)
        r.res.resContent = {relop, v->ulPropTag, v};
    else
        r.res.resProperty = {relop, v->ulPropTag, v};
    return r;
}

// A fresh world per test; MAPI initialised for the test's life.
class MapiWorld : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(lib().handle, nullptr);
        ASSERT_NE(fn().MAPIInitialize, nullptr);
        MAPIINIT_0 init{MAPI_INIT_VERSION, 0};
        ASSERT_EQ(fn().MAPIInitialize(&init), S_OK);
    }
    void TearDown() override {
        if (fn().MAPIUninitialize) fn().MAPIUninitialize();
    }

    static MapiLibrary& lib() { return MapiLibrary::Get(); }
    static const MapiFunctions& fn() { return lib().fn; }
    static const AdminApi& admin() { return lib().admin; }

    ComPtr<IMAPISession> Logon(const std::u16string& profile = u"") {
        ComPtr<IMAPISession> s;
        HRESULT hr = fn().MAPILogonEx(0, profile.empty() ? nullptr : const_cast<LPWSTR>(profile.c_str()),
                                      nullptr, profile.empty() ? kLogonDefault : kLogonNamed, s.put());
        EXPECT_EQ(hr, S_OK);
        return s;
    }

    // The default store of a session, found as the agent finds it.
    ComPtr<IMsgStore> DefaultStore(IMAPISession* session) {
        ComPtr<IMAPITable> table;
        EXPECT_EQ(session->GetMsgStoresTable(0, table.put()), S_OK);
        SizedSPropTagArray<3> cols = {3, {PR_DEFAULT_STORE, PR_ENTRYID, PR_DISPLAY_NAME_W}};
        SPropValue yes = Val(PR_DEFAULT_STORE, {.b = 1});
        SRestriction res = PropRes(RELOP_EQ, &yes);
        RowSetPtr rows = Rows(table.get(), cols.get(), &res);
        ComPtr<IMsgStore> store;
        if (rows.size() != 1) {
            ADD_FAILURE() << "expected one default store, got " << rows.size();
            return store;
        }
        const SBinary& eid = rows[0].lpProps[1].Value.bin;
        EXPECT_EQ(session->OpenMsgStore(0, eid.cb, reinterpret_cast<LPENTRYID>(eid.lpb), nullptr, 0x19,
                                        store.put()),
                  S_OK);
        return store;
    }

    // HrQueryAllRows without a row limit.
    static RowSetPtr Rows(IMAPITable* table, LPSPropTagArray cols, LPSRestriction res = nullptr,
                          LPSSortOrderSet sort = nullptr) {
        RowSetPtr rows(fn().FreeProws);
        EXPECT_EQ(fn().HrQueryAllRows(table, cols, res, sort, 0, rows.put()), S_OK);
        return rows;
    }

    // The Contacts folder of a store, found through its root as the agent finds it.
    ComPtr<IMAPIFolder> ContactsOf(IMsgStore* store) {
        auto root = Open<IMAPIFolder>(store, "");
        return Open<IMAPIFolder>(store, BinProp(root.get(), PR_IPM_CONTACT_ENTRYID));
    }

    // A property opened as a stream (IMAPIProp::OpenProperty with IID_IStream).
    static HRESULT TryStream(IMAPIProp* obj, ULONG tag, ULONG flags, ComPtr<IStream>& out) {
        return obj->OpenProperty(tag, &IID_IStream, 0, flags, reinterpret_cast<IUnknown**>(out.put()));
    }
    static ComPtr<IStream> Stream(IMAPIProp* obj, ULONG tag, ULONG flags = 0) {
        ComPtr<IStream> s;
        EXPECT_EQ(TryStream(obj, tag, flags, s), S_OK);
        return s;
    }
    // Writes in 1 KiB pieces and commits.
    static void WriteAll(IStream* s, const std::string& data) {
        for (std::size_t off = 0; off < data.size(); off += 1024) {
            ULONG n = static_cast<ULONG>(std::min<std::size_t>(1024, data.size() - off)), written = 0;
            ASSERT_EQ(s->Write(data.data() + off, n, &written), S_OK);
            ASSERT_EQ(written, n);
        }
        ASSERT_EQ(s->Commit(0), S_OK);
    }
    static std::string ReadAll(IStream* s) {
        std::string out;
        char buf[1024];
        for (ULONG got = 1; got;) {
            got = 0;
            EXPECT_EQ(s->Read(buf, sizeof buf, &got), S_OK);
            out.append(buf, got);
        }
        return out;
    }

    // A binary property of a MAPI object, as bytes; empty when absent.
    std::string BinProp(IMAPIProp* obj, ULONG tag) {
        MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
        if (fn().HrGetOneProp(obj, tag, v.put()) != S_OK) return {};
        return std::string(reinterpret_cast<const char*>(v->Value.bin.lpb), v->Value.bin.cb);
    }

    // OpenEntry on a store or a folder with an entry id held as bytes.
    template <class From, class T>
    static HRESULT TryOpen(From* from, const std::string& eid, ULONG flags, T** out) {
        ULONG type = 0;
        return from->OpenEntry(static_cast<ULONG>(eid.size()),
                               reinterpret_cast<LPENTRYID>(const_cast<char*>(eid.data())), nullptr, flags,
                               &type, reinterpret_cast<IUnknown**>(out));
    }

    template <class T>
    ComPtr<T> Open(IMsgStore* store, const std::string& eid, ULONG flags = MAPI_BEST_ACCESS) {
        ComPtr<T> obj;
        EXPECT_EQ(TryOpen(store, eid, flags, obj.put()), S_OK);
        return obj;
    }

    // Profile "Outlook" with the standard folders (what `mapiadmin init` gives).
    void InitDefault() { ASSERT_EQ(admin().InitDefault(), S_OK); }

private:
    TempWorld m_world{"mapi32"};
};

}  // namespace nx::test
