// The session (one logon to a profile) and the profile administration object.
#include <cstring>

#include "platform/mapi32/Internal.h"
#include "platform/system/Utf.h"

namespace nx::mapi32 {
namespace {

std::string EmptyBlob() {
    return EncodeBlob({});
}

class SessionObj final : public ComBase<IMAPISession> {
public:
    explicit SessionObj(ProfileEntry profile) : m_profile(std::move(profile)) {}
    bool Supports(const IID& iid) const override { return iid == IID_IUnknown || iid == IID_IMAPISession; }

    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
        if (!err) return MAPI_E_INVALID_PARAMETER;
        *err = nullptr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetMsgStoresTable(ULONG flags, LPMAPITABLE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            if (m_loggedOff) return MAPI_E_END_OF_SESSION;
            std::vector<StoreEntry> stores = m_profile.stores;
            *out = NewTable(
                nullptr,
                [stores] {
                    std::vector<TableRow> rows;
                    std::int64_t n = 0;
                    for (const auto& s : stores) {
                        TableRow row;
                        row.blob = EmptyBlob();
                        std::string uid(reinterpret_cast<const char*>(s.uid.data()), 16);
                        row.extra.emplace_back(PR_ENTRYID, MakeStoreEntryId(s.uid));
                        row.extra.emplace_back(PR_DISPLAY_NAME_W, Utf8Payload(s.displayName));
                        row.extra.emplace_back(PR_DEFAULT_STORE, PayloadBool(s.isDefault));
                        row.extra.emplace_back(PR_INSTANCE_KEY, InstanceKey(++n));
                        row.extra.emplace_back(PR_RECORD_KEY, uid);
                        row.extra.emplace_back(PR_PROVIDER_UID, uid);
                        row.extra.emplace_back(PR_OBJECT_TYPE, PayloadLong(MAPI_STORE));
                        row.extra.emplace_back(
                            PR_MDB_PROVIDER,
                            std::string(reinterpret_cast<const char*>(kStoreProviderUid.data()), 16));
                        row.extra.emplace_back(PR_RESOURCE_FLAGS, PayloadLong(s.isDefault ? 1 : 0));
                        rows.push_back(std::move(row));
                    }
                    return rows;
                },
                {PR_ENTRYID, PR_DISPLAY_NAME_W, PR_DEFAULT_STORE, PR_INSTANCE_KEY},
                (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE OpenMsgStore(ULONG_PTR, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG,
                                           LPMDB* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            if (m_loggedOff) return MAPI_E_END_OF_SESSION;
            Uid uid;
            HRESULT hr = ParseStoreEntryId(eid, cb, uid);
            if (FAILED(hr)) return hr;
            auto ctx = OpenCtx(uid);
            if (!ctx) return MAPI_E_NOT_FOUND;
            return HandOut(NewMsgStore(ctx), iid, reinterpret_cast<void**>(out));
        });
    }

    HRESULT STDMETHODCALLTYPE OpenAddressBook(ULONG_PTR, LPCIID, ULONG, LPADRBOOK*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE OpenProfileSection(LPMAPIUID, LPCIID, ULONG, LPPROFSECT*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE GetStatusTable(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }

    HRESULT STDMETHODCALLTYPE OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                                        LPUNKNOWN* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            if (m_loggedOff) return MAPI_E_END_OF_SESSION;
            Uid uid;
            ObjectEntryId id;
            if (SUCCEEDED(ParseObjectEntryId(eid, cb, id))) {
                uid = id.store;
            } else if (FAILED(ParseStoreEntryId(eid, cb, uid))) {
                return MAPI_E_INVALID_ENTRYID;
            }
            auto ctx = OpenCtx(uid);
            if (!ctx) return MAPI_E_NOT_FOUND;
            return OpenStoreEntry(ctx, cb, eid, iid, flags, type, out);
        });
    }

    HRESULT STDMETHODCALLTYPE CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG,
                                              ULONG* result) override {
        if (!result || (cb1 && !e1) || (cb2 && !e2)) return MAPI_E_INVALID_PARAMETER;
        // Equal when equal apart from the short-term flag.
        *result = cb1 == cb2 && cb1 >= 4 && std::memcmp(e1->ab, e2->ab, cb1 - 4) == 0 &&
                  std::memcmp(e1->abFlags + 1, e2->abFlags + 1, 3) == 0 &&
                  (e1->abFlags[0] & ~MAPI_SHORTTERM) == (e2->abFlags[0] & ~MAPI_SHORTTERM);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE MessageOptions(ULONG_PTR, ULONG, LPTSTR, LPMESSAGE) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE QueryDefaultMessageOpt(LPTSTR, ULONG, ULONG*, LPSPropValue*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE EnumAdrTypes(ULONG, ULONG*, LPTSTR**) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE QueryIdentity(ULONG*, LPENTRYID*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE Logoff(ULONG_PTR, ULONG, ULONG) override {
        m_loggedOff = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetDefaultStore(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE AdminServices(ULONG, LPSERVICEADMIN*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE ShowForm(ULONG_PTR, LPMDB, LPMAPIFOLDER, LPCIID, ULONG, LPMESSAGE, ULONG, ULONG,
                                       ULONG, ULONG, LPSTR) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE PrepareForm(LPCIID, LPMESSAGE, ULONG*) override { return MAPI_E_NO_SUPPORT; }

private:
    StoreCtxPtr OpenCtx(const Uid& uid) {
        for (const auto& s : m_profile.stores) {
            if (s.uid != uid) continue;
            auto ctx = std::make_shared<StoreCtx>();
            ctx->backend = AcquireStore(s.path);
            if (ctx->backend->storage->Layout().uid != uid)
                throw MapiError(MAPI_E_CORRUPT_STORE, "store file swapped");
            ctx->uid = uid;
            ctx->displayName = s.displayName;
            ctx->entryId = MakeStoreEntryId(uid);
            ctx->isDefault = s.isDefault;
            return ctx;
        }
        return nullptr;
    }

    ProfileEntry m_profile;
    std::atomic<bool> m_loggedOff{false};
};

class ProfAdminObj final : public ComBase<IProfAdmin> {
public:
    bool Supports(const IID& iid) const override { return iid == IID_IUnknown || iid == IID_IProfAdmin; }
    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
        if (!err) return MAPI_E_INVALID_PARAMETER;
        *err = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetProfileTable(ULONG flags, LPMAPITABLE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = NewTable(
                nullptr,
                [] {
                    std::vector<TableRow> rows;
                    std::int64_t n = 0;
                    for (const auto& p : LoadProfiles()) {
                        TableRow row;
                        row.blob = EmptyBlob();
                        row.extra.emplace_back(PR_DISPLAY_NAME_W, Utf8Payload(p.name));
                        row.extra.emplace_back(PR_DEFAULT_PROFILE, PayloadBool(p.isDefault));
                        row.extra.emplace_back(PR_INSTANCE_KEY, InstanceKey(++n));
                        rows.push_back(std::move(row));
                    }
                    return rows;
                },
                {PR_DISPLAY_NAME_W, PR_DEFAULT_PROFILE, PR_INSTANCE_KEY}, (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE CreateProfile(LPTSTR name, LPTSTR, ULONG_PTR, ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            if (!name) return MAPI_E_INVALID_PARAMETER;
            nx::mapi32::CreateProfile(TextArg(name, flags), false);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE DeleteProfile(LPTSTR name, ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            if (!name) return MAPI_E_INVALID_PARAMETER;
            nx::mapi32::DeleteProfile(TextArg(name, flags));
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE ChangeProfilePassword(LPTSTR, LPTSTR, LPTSTR, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE CopyProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE RenameProfile(LPTSTR, LPTSTR, LPTSTR, ULONG_PTR, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE SetDefaultProfile(LPTSTR name, ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            if (!name) return MAPI_E_INVALID_PARAMETER;
            nx::mapi32::SetDefaultProfile(TextArg(name, flags));
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE AdminServices(LPTSTR, LPTSTR, ULONG_PTR, ULONG, LPSERVICEADMIN*) override {
        return MAPI_E_NO_SUPPORT;
    }
};

}  // namespace

IMAPISession* NewSession(ProfileEntry profile) {
    return new SessionObj(std::move(profile));
}
IProfAdmin* NewProfAdmin() {
    return new ProfAdminObj();
}

}  // namespace nx::mapi32
