// Message store and folder objects. Neither is transacted: SetProps and DeleteProps change the
// store file at once, one transaction per call; SaveChanges has nothing to do.
#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstring>

#include "platform/mapi32/Internal.h"
#include "platform/system/Utf.h"

namespace nx::mapi32 {

std::string NowPayload() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto ticks = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() / 100 +
                 static_cast<int64_t>(kFileTimeUnixEpoch);
    return PayloadI8(ticks);
}

std::string InstanceKey(std::int64_t key) {
    return PayloadI8(key);
}

void AddStoreIdentity(const StoreCtx& ctx, PropMap& out) {
    std::string uid(reinterpret_cast<const char*>(ctx.uid.data()), 16);
    out[PROP_ID(PR_STORE_ENTRYID)] = Bin(ctx.entryId);
    out[PROP_ID(PR_STORE_RECORD_KEY)] = Bin(uid);
    out[PROP_ID(PR_MAPPING_SIGNATURE)] = Bin(uid);
}

namespace {

// Pending edits of a non-transacted object, written by EndEdit.
struct ImmediateEdits {
    PropMap set;
    std::vector<std::uint16_t> removed;
    void Set(std::uint16_t id, StoredValue v) {
        set[id] = std::move(v);
        std::erase(removed, id);
    }
    void Delete(std::uint16_t id) {
        set.erase(id);
        removed.push_back(id);
    }
    void Flush(Storage& db, std::int64_t id) {
        if (set.empty() && removed.empty()) return;
        // Set and Delete keep them apart: the storage would apply a removal before a value.
        assert(std::none_of(removed.begin(), removed.end(), [&](std::uint16_t r) { return set.count(r); }));
        std::vector<Change> batch(1);
        batch[0].id = id;
        batch[0].set = std::move(set);
        batch[0].removeProps = std::move(removed);
        set.clear();
        removed.clear();
        db.Save(batch);
    }
};

PropMap LoadProps(Storage& db, std::int64_t id) {
    auto row = db.Load(id);
    if (!row) throw MapiError(MAPI_E_OBJECT_DELETED);
    PropMap props;
    if (FAILED(DecodeBlob(row->props, props))) throw MapiError(MAPI_E_CORRUPT_DATA);
    return props;
}

}  // namespace

// ---- Message store ----

class MsgStoreObj final : public PropObject<IMsgStore> {
public:
    explicit MsgStoreObj(StoreCtxPtr ctx) : m_ctx(std::move(ctx)) {}
    bool Supports(const IID& iid) const override {
        return iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMsgStore;
    }

    std::mutex& Mutex() override { return m_ctx->mutex(); }
    Storage* NamedStorage() override { return &m_ctx->db(); }
    bool IsComputed(ULONG id) override {
        return IsComputedIdentity(id) || id == PROP_ID(PR_IPM_SUBTREE_ENTRYID) ||
               id == PROP_ID(PR_MDB_PROVIDER) || id == PROP_ID(PR_DISPLAY_NAME_W) ||
               id == PROP_ID(PR_DEFAULT_STORE);
    }
    void Collect(PropMap& out) override {
        const StoreLayout& l = m_ctx->layout();
        out = LoadProps(m_ctx->db(), l.storeObject);
        AddStoreIdentity(*m_ctx, out);
        out[PROP_ID(PR_ENTRYID)] = Bin(m_ctx->entryId);
        out[PROP_ID(PR_RECORD_KEY)] = Bin(std::string(reinterpret_cast<const char*>(m_ctx->uid.data()), 16));
        out[PROP_ID(PR_OBJECT_TYPE)] = Long(MAPI_STORE);
        out[PROP_ID(PR_DISPLAY_NAME_W)] = {PT_UNICODE, Utf8Payload(m_ctx->displayName)};
        out[PROP_ID(PR_IPM_SUBTREE_ENTRYID)] = Bin(m_ctx->FolderId(l.ipmSubtree));
        out[PROP_ID(PR_MDB_PROVIDER)] =
            Bin(std::string(reinterpret_cast<const char*>(kStoreProviderUid.data()), 16));
        out[PROP_ID(PR_DEFAULT_STORE)] = Bool(m_ctx->isDefault);
    }
    void Set(std::uint16_t id, StoredValue v) override { m_edits.Set(id, std::move(v)); }
    void Delete(std::uint16_t id) override { m_edits.Delete(id); }
    void EndEdit() override { m_edits.Flush(m_ctx->db(), m_ctx->layout().storeObject); }
    std::string LoadValue(std::uint16_t id) override {
        return m_ctx->db().LoadLarge(m_ctx->layout().storeObject, id);
    }

    HRESULT STDMETHODCALLTYPE Advise(ULONG, LPENTRYID, ULONG, LPMAPIADVISESINK, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE CompareEntryIDs(ULONG cb1, LPENTRYID e1, ULONG cb2, LPENTRYID e2, ULONG,
                                              ULONG* result) override {
        if (!result) return MAPI_E_INVALID_PARAMETER;
        ObjectEntryId a, b;
        HRESULT hr = ParseObjectEntryId(e1, cb1, a);
        if (SUCCEEDED(hr)) hr = ParseObjectEntryId(e2, cb2, b);
        if (FAILED(hr)) return hr;
        *result = a.store == b.store && a.type == b.type && a.key == b.key;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                                        LPUNKNOWN* out) override {
        return OpenStoreEntry(m_ctx, cb, eid, iid, flags, type, out);
    }
    HRESULT STDMETHODCALLTYPE SetReceiveFolder(LPTSTR cls, ULONG flags, ULONG cb, LPENTRYID eid) override {
        return Guarded([&]() -> HRESULT {
            std::string messageClass = TextArg(cls, flags);
            std::int64_t folder = 0;
            if (cb) {
                ObjectEntryId id;
                HRESULT hr = ParseObjectEntryId(eid, cb, id);
                if (FAILED(hr)) return hr;
                if (id.store != m_ctx->uid || id.type != kEidFolder) return MAPI_E_NOT_FOUND;
                folder = id.key;
            }
            std::lock_guard lock(Mutex());
            if (folder) {
                auto row = m_ctx->db().Load(folder);
                if (!row || row->kind != kKindFolder) return MAPI_E_NOT_FOUND;
            }
            m_ctx->db().SetReceiveFolder(messageClass, folder);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetReceiveFolder(LPTSTR cls, ULONG flags, ULONG* cb, LPENTRYID* eid,
                                               LPTSTR* explicitClass) override {
        return Guarded([&]() -> HRESULT {
            if (!cb || !eid) return MAPI_E_INVALID_PARAMETER;
            *cb = 0;
            *eid = nullptr;
            if (explicitClass) *explicitClass = nullptr;
            std::string messageClass = TextArg(cls, flags);
            std::string found;
            std::int64_t folder;
            {
                std::lock_guard lock(Mutex());
                folder = m_ctx->db().ReceiveFolder(messageClass, found);
            }
            if (!folder) return MAPI_E_NOT_FOUND;
            std::string id = m_ctx->FolderId(folder);
            BufferGuard idGuard(AllocOrThrow(id.size()));
            std::memcpy(idGuard.get(), id.data(), id.size());
            if (explicitClass) {
                if (flags & MAPI_UNICODE) {
                    std::u16string w = nx::sys::Utf8ToUtf16(found);
                    auto* s = static_cast<char16_t*>(AllocOrThrow((w.size() + 1) * 2));
                    std::memcpy(s, w.data(), w.size() * 2);
                    *explicitClass = s;
                } else {
                    auto* s = static_cast<char*>(AllocOrThrow(found.size() + 1));
                    std::memcpy(s, found.data(), found.size());
                    *explicitClass = reinterpret_cast<LPTSTR>(s);
                }
            }
            *cb = static_cast<ULONG>(id.size());
            *eid = static_cast<LPENTRYID>(idGuard.release());
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetReceiveFolderTable(ULONG, LPMAPITABLE*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE StoreLogoff(ULONG* flags) override {
        if (flags) *flags = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE AbortSubmit(ULONG, LPENTRYID, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE GetOutgoingQueue(ULONG, LPMAPITABLE*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SetLockState(LPMESSAGE, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE FinishedMsg(ULONG, ULONG, LPENTRYID) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE NotifyNewMail(LPNOTIFICATION) override { return MAPI_E_NO_SUPPORT; }

private:
    StoreCtxPtr m_ctx;
    ImmediateEdits m_edits;
};

ComBase<IMsgStore>* NewMsgStore(StoreCtxPtr ctx) {
    return new MsgStoreObj(std::move(ctx));
}

// ---- Folder ----

class FolderObj final : public PropObject<IMAPIFolder> {
public:
    FolderObj(StoreCtxPtr ctx, std::int64_t id) : m_ctx(std::move(ctx)), m_id(id) {}
    bool Supports(const IID& iid) const override {
        return iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMAPIContainer ||
               iid == IID_IMAPIFolder;
    }

    std::mutex& Mutex() override { return m_ctx->mutex(); }
    Storage* NamedStorage() override { return &m_ctx->db(); }
    bool IsComputed(ULONG id) override {
        return IsComputedIdentity(id) || id == PROP_ID(PR_SUBFOLDERS) || id == PROP_ID(PR_CONTENT_COUNT) ||
               id == PROP_ID(PR_CONTENT_UNREAD) || id == PROP_ID(PR_FOLDER_TYPE);
    }
    void Collect(PropMap& out) override { CollectCounting(out, true, true); }
    // The sub-folder flag and the content count are queries of their own: made only when asked
    // (the agent asks a folder for its ids before every write).
    void CollectFor(const SPropTagArray& tags, PropMap& out) override {
        bool subfolders = false, count = false;
        for (ULONG i = 0; i < tags.cValues; ++i) {
            subfolders = subfolders || PROP_ID(tags.aulPropTag[i]) == PROP_ID(PR_SUBFOLDERS);
            count = count || PROP_ID(tags.aulPropTag[i]) == PROP_ID(PR_CONTENT_COUNT);
        }
        CollectCounting(out, subfolders, count);
    }
    void CollectCounting(PropMap& out, bool subfolders, bool count) {
        auto row = m_ctx->db().Load(m_id);
        if (!row || row->kind != kKindFolder) throw MapiError(MAPI_E_OBJECT_DELETED);
        if (FAILED(DecodeBlob(row->props, out))) throw MapiError(MAPI_E_CORRUPT_DATA);
        AddStoreIdentity(*m_ctx, out);
        std::string eid = m_ctx->FolderId(m_id);
        out[PROP_ID(PR_ENTRYID)] = Bin(eid);
        out[PROP_ID(PR_RECORD_KEY)] = Bin(eid);
        out[PROP_ID(PR_PARENT_ENTRYID)] = Bin(row->parent ? m_ctx->FolderId(row->parent) : eid);
        out[PROP_ID(PR_OBJECT_TYPE)] = Long(MAPI_FOLDER);
        if (subfolders) out[PROP_ID(PR_SUBFOLDERS)] = Bool(m_ctx->db().HasChild(m_id, kKindFolder));
        if (count) out[PROP_ID(PR_CONTENT_COUNT)] = Long(m_ctx->db().CountChildren(m_id, kKindMessage));
        out[PROP_ID(PR_CONTENT_UNREAD)] = Long(0);
        if (!out.count(PROP_ID(PR_FOLDER_TYPE))) out[PROP_ID(PR_FOLDER_TYPE)] = Long(FOLDER_GENERIC);
    }
    void Set(std::uint16_t id, StoredValue v) override { m_edits.Set(id, std::move(v)); }
    void Delete(std::uint16_t id) override { m_edits.Delete(id); }
    void EndEdit() override { m_edits.Flush(m_ctx->db(), m_id); }
    std::string LoadValue(std::uint16_t id) override { return m_ctx->db().LoadLarge(m_id, id); }

    HRESULT STDMETHODCALLTYPE GetContentsTable(ULONG flags, LPMAPITABLE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            HRESULT hr = CheckExists();
            if (FAILED(hr)) return hr;
            int kind = (flags & MAPI_ASSOCIATED) ? kKindAssociated : kKindMessage;
            *out = NewTable(
                NewContentsSource(m_ctx, m_id, kind),
                {PR_ENTRYID, PR_INSTANCE_KEY, PR_MESSAGE_CLASS_W, PR_SUBJECT_W, PR_LAST_MODIFICATION_TIME},
                (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetHierarchyTable(ULONG flags, LPMAPITABLE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            if (flags & CONVENIENT_DEPTH) return MAPI_E_NO_SUPPORT;
            HRESULT hr = CheckExists();
            if (FAILED(hr)) return hr;
            StoreCtxPtr ctx = m_ctx;
            std::int64_t id = m_id;
            *out = NewTable(
                NewStoreSource(m_ctx, [ctx, id] { return LoadHierarchyRows(*ctx, id); }),
                {PR_ENTRYID, PR_DISPLAY_NAME_W, PR_CONTAINER_CLASS_W, PR_SUBFOLDERS, PR_INSTANCE_KEY},
                (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE OpenEntry(ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                                        LPUNKNOWN* out) override {
        return OpenStoreEntry(m_ctx, cb, eid, iid, flags, type, out);
    }
    HRESULT STDMETHODCALLTYPE SetSearchCriteria(LPSRestriction, LPENTRYLIST, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE GetSearchCriteria(ULONG, LPSRestriction*, LPENTRYLIST*, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }

    HRESULT STDMETHODCALLTYPE CreateMessage(LPCIID iid, ULONG flags, LPMESSAGE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            HRESULT hr = CheckExists();
            if (FAILED(hr)) return hr;
            int kind = (flags & MAPI_ASSOCIATED) ? kKindAssociated : kKindMessage;
            return HandOut(NewMessage(m_ctx, 0, m_id, kind, {}), iid, reinterpret_cast<void**>(out));
        });
    }
    HRESULT STDMETHODCALLTYPE CopyMessages(LPENTRYLIST, LPCIID, LPVOID, ULONG_PTR, LPMAPIPROGRESS,
                                           ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE DeleteMessages(LPENTRYLIST list, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
        return Guarded([&]() -> HRESULT {
            if (!list || (list->cValues && !list->lpbin)) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(Mutex());
            std::vector<Change> batch;
            bool partial = false;
            for (ULONG i = 0; i < list->cValues; ++i) {
                ObjectEntryId id;
                if (FAILED(ParseObjectEntryId(list->lpbin[i].lpb, list->lpbin[i].cb, id)) ||
                    id.store != m_ctx->uid || id.type != kEidMessage) {
                    partial = true;
                    continue;
                }
                auto row = m_ctx->db().Load(id.key);
                if (!row || (row->kind != kKindMessage && row->kind != kKindAssociated) ||
                    row->parent != m_id) {
                    partial = true;
                    continue;
                }
                Change c;
                c.id = id.key;
                c.remove = true;
                batch.push_back(std::move(c));
            }
            if (!batch.empty()) m_ctx->db().Save(batch);
            return partial ? MAPI_W_PARTIAL_COMPLETION : S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE CreateFolder(ULONG folderType, LPTSTR name, LPTSTR comment, LPCIID iid,
                                           ULONG flags, LPMAPIFOLDER* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out || !name) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            if (folderType == FOLDER_SEARCH) return MAPI_E_NO_SUPPORT;
            if (folderType != FOLDER_GENERIC) return MAPI_E_INVALID_PARAMETER;
            std::string payload = (flags & MAPI_UNICODE)
                                      ? StringPayload(reinterpret_cast<const char16_t*>(name))
                                      : Utf8Payload(reinterpret_cast<const char*>(name));
            if (payload.empty()) return MAPI_E_INVALID_PARAMETER;
            std::int64_t id = 0;
            {
                std::lock_guard lock(Mutex());
                auto self = m_ctx->db().Load(m_id);
                if (!self || self->kind != kKindFolder) return MAPI_E_OBJECT_DELETED;
                m_ctx->db().QueryChildren(m_id, kKindFolder, [&](const ObjectRow& row) {
                    PropMap props;
                    if (id || FAILED(DecodeBlob(row.props, props))) return;
                    auto it = props.find(PROP_ID(PR_DISPLAY_NAME_W));
                    if (it != props.end() && it->second.type == PT_UNICODE &&
                        ComparePayload(PT_UNICODE, it->second.payload, payload, true) == 0)
                        id = row.id;
                });
                if (id && !(flags & OPEN_IF_EXISTS)) return MAPI_E_COLLISION;
                if (!id) {
                    std::vector<Change> batch(1);
                    batch[0].kind = kKindFolder;
                    batch[0].parent = m_id;
                    batch[0].set[PROP_ID(PR_DISPLAY_NAME_W)] = {PT_UNICODE, payload};
                    batch[0].set[PROP_ID(PR_FOLDER_TYPE)] = Long(FOLDER_GENERIC);
                    if (comment) {
                        std::string c = (flags & MAPI_UNICODE)
                                            ? StringPayload(reinterpret_cast<const char16_t*>(comment))
                                            : Utf8Payload(reinterpret_cast<const char*>(comment));
                        if (!c.empty()) batch[0].set[PROP_ID(PR_COMMENT_W)] = {PT_UNICODE, c};
                    }
                    id = m_ctx->db().Save(batch)[0];
                }
            }
            return HandOut(new FolderObj(m_ctx, id), iid, reinterpret_cast<void**>(out));
        });
    }
    HRESULT STDMETHODCALLTYPE CopyFolder(ULONG, LPENTRYID, LPCIID, LPVOID, LPTSTR, ULONG_PTR, LPMAPIPROGRESS,
                                         ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE DeleteFolder(ULONG cb, LPENTRYID eid, ULONG_PTR, LPMAPIPROGRESS,
                                           ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            ObjectEntryId id;
            HRESULT hr = ParseObjectEntryId(eid, cb, id);
            if (FAILED(hr)) return hr;
            if (id.store != m_ctx->uid || id.type != kEidFolder) return MAPI_E_NOT_FOUND;
            std::lock_guard lock(Mutex());
            auto row = m_ctx->db().Load(id.key);
            if (!row || row->kind != kKindFolder || row->parent != m_id) return MAPI_E_NOT_FOUND;
            if (!(flags & DEL_FOLDERS) && m_ctx->db().HasChild(id.key, kKindFolder))
                return MAPI_E_HAS_FOLDERS;
            if (!(flags & DEL_MESSAGES) &&
                (m_ctx->db().HasChild(id.key, kKindMessage) || m_ctx->db().HasChild(id.key, kKindAssociated)))
                return MAPI_E_HAS_MESSAGES;
            std::vector<Change> batch(1);
            batch[0].id = id.key;
            batch[0].remove = true;
            m_ctx->db().Save(batch);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetReadFlags(LPENTRYLIST, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE GetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE SetMessageStatus(ULONG, LPENTRYID, ULONG, ULONG, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE SaveContentsSort(LPSSortOrderSet, ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE EmptyFolder(ULONG_PTR, LPMAPIPROGRESS, ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(Mutex());
            std::vector<Change> batch;
            auto removeAll = [&](int kind) {
                m_ctx->db().QueryChildren(m_id, kind, [&](const ObjectRow& row) {
                    Change c;
                    c.id = row.id;
                    c.remove = true;
                    batch.push_back(std::move(c));
                });
            };
            removeAll(kKindMessage);
            removeAll(kKindFolder);
            if (flags & DEL_ASSOCIATED) removeAll(kKindAssociated);
            if (!batch.empty()) m_ctx->db().Save(batch);
            return S_OK;
        });
    }

private:
    HRESULT CheckExists() {
        std::lock_guard lock(Mutex());
        auto row = m_ctx->db().Load(m_id);
        return row && row->kind == kKindFolder ? S_OK : MAPI_E_OBJECT_DELETED;
    }

    StoreCtxPtr m_ctx;
    std::int64_t m_id;
    ImmediateEdits m_edits;
};

FolderObj* NewFolder(StoreCtxPtr ctx, std::int64_t id) {
    return new FolderObj(std::move(ctx), id);
}

HRESULT OpenStoreEntry(const StoreCtxPtr& ctx, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                       LPUNKNOWN* out) {
    return Guarded([&]() -> HRESULT {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (type) *type = 0;
        std::int64_t key;
        std::uint16_t kind;
        if (cb == 0) {
            key = ctx->layout().root;
            kind = kEidFolder;
        } else {
            ObjectEntryId id;
            HRESULT hr = ParseObjectEntryId(eid, cb, id);
            if (FAILED(hr)) {
                Uid store;
                // The store's own id opens the store.
                if (SUCCEEDED(ParseStoreEntryId(eid, cb, store))) {
                    if (store != ctx->uid) return MAPI_E_NOT_FOUND;
                    if (type) *type = MAPI_STORE;
                    return HandOut(NewMsgStore(ctx), iid, reinterpret_cast<void**>(out));
                }
                return hr;
            }
            if (id.store != ctx->uid) return MAPI_E_NOT_FOUND;
            key = id.key;
            kind = id.type;
        }
        assert((kind == kEidFolder || kind == kEidMessage) && "ParseObjectEntryId admits no other object");
        std::optional<ObjectRow> row;
        {
            std::lock_guard lock(ctx->mutex());
            row = ctx->db().Load(key);
        }
        if (!row) return MAPI_E_NOT_FOUND;
        if (kind == kEidFolder) {
            if (row->kind != kKindFolder) return MAPI_E_NOT_FOUND;
            if (type) *type = MAPI_FOLDER;
            return HandOut(NewFolder(ctx, key), iid, reinterpret_cast<void**>(out));
        }
        if (row->kind != kKindMessage && row->kind != kKindAssociated) return MAPI_E_NOT_FOUND;
        // Messages open read-only unless the caller asks for write access, as MAPI's stores do.
        bool readOnly = (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) == 0;
        ComBase<IMessage>* message =
            NewStoredMessage(ctx, key, row->parent, row->kind, std::move(row->props), readOnly);
        if (!message) return MAPI_E_CORRUPT_DATA;
        if (type) *type = MAPI_MESSAGE;
        return HandOut(message, iid, reinterpret_cast<void**>(out));
    });
}

// ---- Row loaders ----

namespace {

// What every table of a store shares: the store's mutex and its read snapshot.
class StoreSource : public RowSource {
public:
    explicit StoreSource(StoreCtxPtr ctx) : m_ctx(std::move(ctx)) {}
    std::mutex* StoreMutex() override { return &m_ctx->mutex(); }
    void HoldSnapshot(bool hold) override {
        if (hold) {
            m_ctx->db().HoldSnapshot();
        } else {
            m_ctx->db().ReleaseSnapshot();
        }
    }
    void TableRead(bool begin) override {
        if (begin) {
            m_ctx->db().BeginTableRead();
        } else {
            m_ctx->db().EndTableRead();
        }
    }
    void RefreshSnapshot() override { m_ctx->db().RefreshSnapshot(); }

protected:
    StoreCtxPtr m_ctx;
};

class LoaderSource final : public StoreSource {
public:
    LoaderSource(StoreCtxPtr ctx, RowLoader loader)
        : StoreSource(std::move(ctx)), m_loader(std::move(loader)) {}
    std::vector<TableRow> Load(const std::optional<std::string>&, bool) override { return m_loader(); }

private:
    RowLoader m_loader;
};

// A folder's contents: rows read with their key and kept values (the records only when the
// table needs them), the identity columns computed from the key.
class ContentsSource final : public StoreSource {
public:
    ContentsSource(StoreCtxPtr ctx, std::int64_t folder, int kind)
        : StoreSource(std::move(ctx)),
          m_folder(folder),
          m_kind(kind),
          m_longTerm(m_ctx->layout().longTermIds),
          m_parentId(m_ctx->FolderId(folder)) {
        assert(kind == kKindMessage || kind == kKindAssociated);
    }

    bool ReadsKeys() const override { return true; }

    std::vector<TableRow> Load(const std::optional<std::string>& classKey, bool records) override {
        std::vector<TableRow> rows;
        m_ctx->db().QueryContents(Query(classKey, records), [&](ContentsRow& r) {
            TableRow& row = rows.emplace_back();
            row.key = r.id;
            row.classMatched = r.classMatched;
            row.modifiedState = r.modifiedState;
            row.modified = r.modified;
            row.hasRecord = r.hasRecord;
            row.blob = std::move(r.record);
        });
        return rows;
    }

    void ReadRecords(const std::optional<std::string>& classKey, std::span<TableRow* const> rows,
                     const std::function<void(TableRow&, std::string_view)>& f) override {
        assert(std::is_sorted(rows.begin(), rows.end(),
                              [](const TableRow* a, const TableRow* b) { return a->key < b->key; }));
        m_ids.clear();
        for (const TableRow* row : rows) m_ids.push_back(row->key);
        std::size_t next = 0;
        m_ctx->db().FetchRecords(Query(classKey, false), m_ids,
                                 [&](std::int64_t id, std::string_view record) {
                                     while (next < rows.size() && rows[next]->key < id) ++next;
                                     if (next == rows.size() || rows[next]->key != id) return;
                                     f(*rows[next], record);
                                 });
    }

    ColumnState Kept(const TableRow& row, ULONG id, ULONG* type, std::string* payload) const override {
        const auto value = [&](ULONG t, auto&& fill) {
            if (type) *type = t;
            if (payload) fill(*payload);
            return ColumnState::Value;
        };
        switch (id) {
            case PROP_ID(PR_ENTRYID):
                return value(PT_BINARY, [&](std::string& p) {
                    MakeObjectEntryId(p, m_ctx->uid, kEidMessage, row.key, m_longTerm);
                });
            case PROP_ID(PR_LONGTERM_ENTRYID_FROM_TABLE):
                // Computed, never stored: a store of long-term ids has it, others do not.
                if (!m_longTerm) return ColumnState::Absent;
                return value(PT_BINARY, [&](std::string& p) {
                    MakeObjectEntryId(p, m_ctx->uid, kEidMessage, row.key, false);
                });
            case PROP_ID(PR_PARENT_ENTRYID):
                return value(PT_BINARY, [&](std::string& p) { p.assign(m_parentId); });
            case PROP_ID(PR_INSTANCE_KEY):
                return value(PT_BINARY, [&](std::string& p) { p.assign(InstanceKey(row.key)); });
            case PROP_ID(PR_OBJECT_TYPE):
                return value(PT_LONG, [&](std::string& p) { p.assign(PayloadLong(MAPI_MESSAGE)); });
            case PROP_ID(PR_LAST_MODIFICATION_TIME):
                if (row.modifiedState != ColumnState::Value) return row.modifiedState;
                return value(PT_SYSTIME, [&](std::string& p) { p.assign(PayloadI8(row.modified)); });
            default:
                return ColumnState::InRecord;
        }
    }

    bool MayKeep(ULONG id) const override {
        switch (id) {
            case PROP_ID(PR_ENTRYID):
            case PROP_ID(PR_LONGTERM_ENTRYID_FROM_TABLE):
            case PROP_ID(PR_PARENT_ENTRYID):
            case PROP_ID(PR_INSTANCE_KEY):
            case PROP_ID(PR_OBJECT_TYPE):
            case PROP_ID(PR_LAST_MODIFICATION_TIME):
                return true;
            default:
                return false;
        }
    }

    void KeptTags(const TableRow& row, std::vector<ULONG>& tags) const override {
        tags.insert(tags.end(), {PR_ENTRYID, PR_PARENT_ENTRYID, PR_INSTANCE_KEY, PR_OBJECT_TYPE});
        if (m_longTerm) tags.push_back(PR_LONGTERM_ENTRYID_FROM_TABLE);
        if (row.modifiedState == ColumnState::Value) tags.push_back(PR_LAST_MODIFICATION_TIME);
    }

private:
    ContentsQuery Query(const std::optional<std::string>& classKey, bool records) const {
        ContentsQuery q;
        q.parent = m_folder;
        q.kind = m_kind;
        q.classKey = classKey;
        q.records = records;
        return q;
    }

    std::int64_t m_folder;
    int m_kind;
    bool m_longTerm;
    std::string m_parentId;
    std::vector<std::int64_t> m_ids;  // the keys of a ReadRecords, kept for its room
};

}  // namespace

std::unique_ptr<RowSource> NewContentsSource(StoreCtxPtr ctx, std::int64_t folder, int kind) {
    return std::make_unique<ContentsSource>(std::move(ctx), folder, kind);
}

std::unique_ptr<RowSource> NewStoreSource(StoreCtxPtr ctx, RowLoader loader) {
    return std::make_unique<LoaderSource>(std::move(ctx), std::move(loader));
}

std::vector<TableRow> LoadHierarchyRows(const StoreCtx& ctx, std::int64_t folder) {
    std::vector<TableRow> rows;
    std::string parent = ctx.FolderId(folder);
    ctx.db().QueryChildren(folder, kKindFolder, [&](ObjectRow& r) {
        TableRow row;
        row.blob = std::move(r.props);
        row.extra.emplace_back(PR_ENTRYID, ctx.FolderId(r.id));
        row.extra.emplace_back(PR_PARENT_ENTRYID, parent);
        row.extra.emplace_back(PR_INSTANCE_KEY, InstanceKey(r.id));
        row.extra.emplace_back(PR_OBJECT_TYPE, PayloadLong(MAPI_FOLDER));
        row.extra.emplace_back(PR_SUBFOLDERS, PayloadBool(r.hasSubfolders));
        row.extra.emplace_back(PR_CONTENT_COUNT, PayloadLong(r.contentCount));
        row.extra.emplace_back(PR_DEPTH, PayloadLong(0));
        rows.push_back(std::move(row));
    });
    return rows;
}

}  // namespace nx::mapi32
