// Logon, profiles, the administration API and MAPI memory, through the loaded library.
#include <cstring>

#include "tests/platform/mapi32/MapiWorld.h"

namespace nx::test {
namespace {

class LogonTest : public MapiWorld {
protected:
    HRESULT TryLogon(const char16_t* name, ULONG flags) {
        ComPtr<IMAPISession> s;
        return fn().MAPILogonEx(0, const_cast<LPWSTR>(name), nullptr, flags, s.put());
    }
    std::string SessionDefaultStoreName(const std::u16string& profile) {
        auto s = Logon(profile);
        if (!s) return {};
        auto store = DefaultStore(s.get());
        if (!store) return {};
        MapiBuffer<SPropValue> v(fn().MAPIFreeBuffer);
        EXPECT_EQ(fn().HrGetOneProp(reinterpret_cast<IMAPIProp*>(store.get()), PR_DISPLAY_NAME_A, v.put()),
                  S_OK);
        return v ? std::string(v->Value.lpszA) : std::string();
    }
};

TEST_F(LogonTest, LogonCases) {
    // No profile configured at all.
    EXPECT_EQ(TryLogon(nullptr, kLogonDefault), MAPI_E_LOGON_FAILED);
    EXPECT_EQ(TryLogon(u"Outlook", kLogonNamed), MAPI_E_LOGON_FAILED);

    ASSERT_EQ(admin().CreateProfile("Work", 0), S_OK);
    ASSERT_EQ(admin().AddStore("Work", "Work Store", 0, nullptr, 0), S_OK);
    ASSERT_EQ(admin().CreateProfile("Home", 1), S_OK);
    ASSERT_EQ(admin().AddStore("Home", "Home Store", 0, nullptr, 0), S_OK);

    struct Case {
        const char16_t* name;
        ULONG flags;
        HRESULT hr;
        const char* store;  // default store of the session
    } cases[] = {
        {nullptr, kLogonDefault, S_OK, "Home Store"},
        {u"", kLogonDefault, S_OK, "Home Store"},
        {u"Work", kLogonNamed, S_OK, "Work Store"},
        {u"work", kLogonNamed, S_OK, "Work Store"},  // profile names ignore case
        {u"Home", kLogonNamed | MAPI_USE_DEFAULT, S_OK, "Home Store"},
        {u"Nobody", kLogonNamed, MAPI_E_LOGON_FAILED, nullptr},
        {u"", kLogonNamed, MAPI_E_LOGON_FAILED, nullptr},  // empty name without MAPI_USE_DEFAULT
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name ? std::string(c.name, c.name + std::char_traits<char16_t>::length(c.name))
                            : "(null)");
        EXPECT_EQ(TryLogon(c.name, c.flags), c.hr);
        if (c.store) {
            EXPECT_EQ(SessionDefaultStoreName(c.name ? c.name : u""), c.store);
        }
    }
    // 8-bit profile name without MAPI_UNICODE.
    ComPtr<IMAPISession> s;
    EXPECT_EQ(fn().MAPILogonEx(0, reinterpret_cast<LPTSTR>(const_cast<char*>("Work")), nullptr,
                               MAPI_EXTENDED | MAPI_NEW_SESSION | MAPI_EXPLICIT_PROFILE, s.put()),
              S_OK);
}

TEST_F(LogonTest, InitializeNestsAndGuardsLogon) {
    InitDefault();
    // SetUp initialised once; a second initialise needs a second uninitialise.
    ASSERT_EQ(fn().MAPIInitialize(nullptr), S_OK);
    fn().MAPIUninitialize();
    EXPECT_EQ(TryLogon(nullptr, kLogonDefault), S_OK);
    fn().MAPIUninitialize();
    EXPECT_EQ(TryLogon(nullptr, kLogonDefault), MAPI_E_NOT_INITIALIZED);
    ComPtr<IProfAdmin> pa;
    EXPECT_EQ(fn().MAPIAdminProfiles(0, pa.put()), MAPI_E_NOT_INITIALIZED);
    MAPIINIT_0 bad{7, 0};
    EXPECT_EQ(fn().MAPIInitialize(&bad), MAPI_E_VERSION);
    ASSERT_EQ(fn().MAPIInitialize(nullptr), S_OK);  // for TearDown's uninitialise
}

TEST_F(LogonTest, ProfileTableListsProfilesInOrderWithDefault) {
    ASSERT_EQ(admin().CreateProfile("Outlook", 0), S_OK);
    ASSERT_EQ(admin().CreateProfile("Zweit\xC3\xA9", 1), S_OK);
    ComPtr<IProfAdmin> pa;
    ASSERT_EQ(fn().MAPIAdminProfiles(0, pa.put()), S_OK);
    ComPtr<IMAPITable> table;
    ASSERT_EQ(pa->GetProfileTable(0, table.put()), S_OK);
    ASSERT_EQ(table->SeekRow(BOOKMARK_BEGINNING, 0, nullptr), S_OK);
    SizedSPropTagArray<2> cols = {2, {PR_DISPLAY_NAME_A, PR_DEFAULT_PROFILE}};
    RowSetPtr rows(fn().FreeProws);
    ASSERT_EQ(fn().HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()), S_OK);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].lpProps[0].ulPropTag, PR_DISPLAY_NAME_A);
    EXPECT_STREQ(rows[0].lpProps[0].Value.lpszA, "Outlook");
    EXPECT_EQ(rows[0].lpProps[1].Value.b, 0);
    EXPECT_STREQ(rows[1].lpProps[0].Value.lpszA, "Zweit\xC3\xA9");
    EXPECT_EQ(rows[1].lpProps[1].Value.b, 1);
}

TEST_F(LogonTest, AdminApiKeepsExactlyOneDefault) {
    EXPECT_EQ(admin().CreateProfile("", 0), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(admin().CreateProfile("A", 0), S_OK);  // the first becomes the default
    EXPECT_EQ(admin().CreateProfile("a", 0), MAPI_E_COLLISION);
    ASSERT_EQ(admin().CreateProfile("B", 0), S_OK);
    char hex[129] = {};
    ASSERT_EQ(admin().AddStore("A", "S1", 0, hex, sizeof hex), S_OK);
    EXPECT_EQ(std::strlen(hex), 76u);  // 38-byte store entry id
    ASSERT_EQ(admin().AddStore("A", "S2", NX_MAPI_STORE_DEFAULT | NX_MAPI_STORE_LONGTERM_IDS, nullptr, 0),
              S_OK);
    EXPECT_EQ(admin().AddStore("A", "s2", 0, nullptr, 0), MAPI_E_COLLISION);
    EXPECT_EQ(admin().AddStore("Nope", "S", 0, nullptr, 0), MAPI_E_NOT_FOUND);

    // The profile list as text: "*" marks the default profile and each profile's default store,
    // "L" a store with long-term ids.
    auto listed = [&] {
        NxMapiProfileList* list = nullptr;
        EXPECT_EQ(admin().ListProfiles(&list), S_OK);
        std::string out;
        for (uint32_t i = 0; list && i < list->profileCount; ++i) {
            const auto& p = list->profiles[i];
            out += std::string(i ? " " : "") + p.name + (p.isDefault ? "*" : "") + "[";
            for (uint32_t k = 0; k < p.storeCount; ++k)
                out += std::string(k ? " " : "") + p.stores[k].displayName +
                       (p.stores[k].isDefault ? "*" : "") + (p.stores[k].longTermIds ? "L" : "");
            out += "]";
        }
        admin().FreeProfileList(list);
        return out;
    };
    EXPECT_EQ(listed(), "A*[S1 S2*L] B[]");
    ASSERT_EQ(admin().SetDefaultProfile("B"), S_OK);
    ASSERT_EQ(admin().RemoveStore("A", "S2"), S_OK);
    EXPECT_EQ(listed(), "A[S1*] B*[]");
    ASSERT_EQ(admin().DeleteProfile("B"), S_OK);
    EXPECT_EQ(listed(), "A*[S1*]");
    EXPECT_EQ(admin().DeleteProfile("B"), MAPI_E_NOT_FOUND);
    EXPECT_EQ(admin().InitDefault(), S_OK);
    EXPECT_EQ(admin().InitDefault(), MAPI_E_COLLISION);
}

TEST_F(LogonTest, AllocateMoreBuffersAreFreedWithTheirParent) {
    void* root = nullptr;
    ASSERT_EQ(fn().MAPIAllocateBuffer(64, &root), S_OK);
    for (int i = 0; i < 100; ++i) {
        void* more = nullptr;
        ASSERT_EQ(fn().MAPIAllocateMore(static_cast<ULONG>(16 + i), root, &more), S_OK);
        std::memset(more, 0xAB, 16 + i);
    }
    void* more = nullptr;
    EXPECT_EQ(fn().MAPIAllocateMore(8, nullptr, &more), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(fn().MAPIFreeBuffer(nullptr), static_cast<ULONG>(S_OK));
    EXPECT_EQ(fn().MAPIFreeBuffer(root), static_cast<ULONG>(S_OK));  // LSan reports any chained block left
    fn().FreeProws(nullptr);
}

}  // namespace
}  // namespace nx::test
