// The MAPI objects of the runtime: session, profile administration, message store, folder,
// message, attachment, stream and table. Every method is wrapped by Guarded (no exception
// leaves a MAPI method); every object of one store serialises on the store's mutex, so any
// object may be used from any thread.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/mapi/Mapi.h"
#include "platform/mapi32/EntryId.h"
#include "platform/mapi32/Memory.h"
#include "platform/mapi32/Profiles.h"
#include "platform/mapi32/Props.h"
#include "platform/mapi32/Sqlite.h"
#include "platform/mapi32/Storage.h"

namespace nx::mapi32 {

// Writes a failure's reason to stderr when NX_MAPI_TRACE is set in the environment.
void TraceFailure(HRESULT hr, const char* what) noexcept;

template <class F>
HRESULT Guarded(F&& f) noexcept {
    try {
        return f();
    } catch (const MapiError& e) {
        TraceFailure(e.hr(), e.what());
        return e.hr();
    } catch (const nx::sqlite::Error& e) {
        const HRESULT hr = MapSqliteError(e.Code());
        TraceFailure(hr, e.what());
        return hr;
    } catch (const std::bad_alloc&) {
        TraceFailure(MAPI_E_NOT_ENOUGH_MEMORY, "out of memory");
        return MAPI_E_NOT_ENOUGH_MEMORY;
    } catch (const std::exception& e) {
        TraceFailure(MAPI_E_CALL_FAILED, e.what());
        return MAPI_E_CALL_FAILED;
    } catch (...) {
        TraceFailure(MAPI_E_CALL_FAILED, "unknown exception");
        return MAPI_E_CALL_FAILED;
    }
}

// Reference counting and QueryInterface for one interface chain.
template <class Iface>
class ComBase : public Iface {
public:
    ComBase() = default;
    ComBase(const ComBase&) = delete;
    ComBase& operator=(const ComBase&) = delete;
    virtual ~ComBase() = default;

    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG r = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (r == 0) delete this;
        return r;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (!Supports(iid)) return MAPI_E_INTERFACE_NOT_SUPPORTED;
        AddRef();
        *out = static_cast<Iface*>(this);
        return S_OK;
    }
    virtual bool Supports(const IID& iid) const = 0;

private:
    std::atomic<ULONG> m_refs{1};
};

// Hands a new object to an out parameter, checking the interface asked for.
template <class T>
HRESULT HandOut(T* obj, LPCIID iid, void** out) {
    if (iid && !obj->Supports(*iid)) {
        obj->Release();
        return MAPI_E_INTERFACE_NOT_SUPPORTED;
    }
    *out = obj;
    return S_OK;
}

// What every object of one store shares.
struct StoreCtx {
    std::shared_ptr<StoreBackend> backend;
    Uid uid{};
    std::string displayName;  // UTF-8, from the profile
    std::string entryId;
    bool isDefault = false;

    Storage& db() const { return *backend->storage; }
    std::mutex& mutex() const { return backend->mutex; }
    const StoreLayout& layout() const { return backend->storage->Layout(); }
    std::string FolderId(std::int64_t key) const { return MakeObjectEntryId(uid, kEidFolder, key); }
    std::string MessageId(std::int64_t key, bool shortTerm = false) const {
        return MakeObjectEntryId(uid, kEidMessage, key, shortTerm);
    }
};
using StoreCtxPtr = std::shared_ptr<const StoreCtx>;

StoredValue Bin(std::string bytes);
StoredValue Long(LONG v);
StoredValue Bool(bool v);
StoredValue Text(std::u16string_view v);
std::string TextArg(const void* p, ULONG flags);  // an LPTSTR argument as UTF-8

// The identity properties every stored object (store, folder, message) computes from its place
// in the store rather than keeping: they are read-only to callers.
inline bool IsComputedIdentity(ULONG id) {
    switch (id) {
        case PROP_ID(PR_ENTRYID):
        case PROP_ID(PR_PARENT_ENTRYID):
        case PROP_ID(PR_OBJECT_TYPE):
        case PROP_ID(PR_RECORD_KEY):
        case PROP_ID(PR_STORE_ENTRYID):
        case PROP_ID(PR_STORE_RECORD_KEY):
        case PROP_ID(PR_MAPPING_SIGNATURE):
        case PROP_ID(PR_INSTANCE_KEY):
        case PROP_ID(PR_LONGTERM_ENTRYID_FROM_TABLE):
            return true;
        default:
            return false;
    }
}

// Implements IMAPIProp over three hooks; the hooks run with the object's mutex held.
class PropHooks {
public:
    virtual ~PropHooks() = default;
    virtual std::mutex& Mutex() = 0;
    // Every property the object has now: stored values (with pending edits) and computed ones.
    virtual void Collect(PropMap& out) = 0;
    // What GetProps of a tag list needs: at least the stored and computed values of those tags.
    // An object with many stored values copies only the asked ones, one with costly computed
    // values computes only the asked ones.
    virtual void CollectFor(const SPropTagArray& /*tags*/, PropMap& out) { Collect(out); }
    // The same without copying, for an object that keeps its record as read: its computed values
    // into `computed` and the record, whose values GetProps takes in place (a computed value
    // wins over a stored one of the same id). False: use CollectFor.
    virtual bool ViewFor(PropMap& /*computed*/, const RecordView*& /*record*/) { return false; }
    virtual bool IsComputed(ULONG propId) = 0;
    virtual void Set(std::uint16_t propId, StoredValue v) = 0;
    virtual void Delete(std::uint16_t propId) = 0;
    // The full value of an out-of-line property.
    virtual std::string LoadValue(std::uint16_t propId) = 0;
    // Called after a batch of Set / Delete calls (SetProps, DeleteProps, a stream's Commit):
    // objects that are not transacted write the batch here, in one transaction.
    virtual void EndEdit() {}
    // An object opened without MAPI_MODIFY or MAPI_BEST_ACCESS is read-only, as MAPI's are: every
    // write (SetProps, DeleteProps, SaveChanges, a writable stream) is MAPI_E_NO_ACCESS.
    virtual bool ReadOnly() { return false; }
    virtual IUnknown* Self() = 0;
    virtual Storage* NamedStorage() = 0;  // the store that maps named properties
};

template <class Iface>
class PropObject : public ComBase<Iface>, public PropHooks {
public:
    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override;
    HRESULT STDMETHODCALLTYPE SaveChanges(ULONG ulFlags) override;
    HRESULT STDMETHODCALLTYPE GetProps(LPSPropTagArray tags, ULONG ulFlags, ULONG* count,
                                       LPSPropValue* props) override;
    HRESULT STDMETHODCALLTYPE GetPropList(ULONG ulFlags, LPSPropTagArray* tags) override;
    HRESULT STDMETHODCALLTYPE OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG ulFlags,
                                           LPUNKNOWN* out) override;
    HRESULT STDMETHODCALLTYPE SetProps(ULONG count, LPSPropValue props,
                                       LPSPropProblemArray* problems) override;
    HRESULT STDMETHODCALLTYPE DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problems) override;
    HRESULT STDMETHODCALLTYPE CopyTo(ULONG, LPCIID, LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID,
                                     LPVOID, ULONG, LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE CopyProps(LPSPropTagArray, ULONG_PTR, LPMAPIPROGRESS, LPCIID, LPVOID, ULONG,
                                        LPSPropProblemArray*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE GetNamesFromIDs(LPSPropTagArray* tags, LPGUID guid, ULONG ulFlags, ULONG* count,
                                              LPMAPINAMEID** names) override;
    HRESULT STDMETHODCALLTYPE GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG ulFlags,
                                              LPSPropTagArray* tags) override;

    IUnknown* Self() override { return this; }

protected:
    // Transacted objects (messages, attachments) override; others change at once.
    virtual HRESULT Save(ULONG) { return S_OK; }
};

// A stream over one property value, read into memory; writes reach the property on Commit (or
// on the last Release, when uncommitted).
class StreamObj final : public ComBase<IStream> {
public:
    StreamObj(PropHooks* owner, ULONG tag, std::string data, bool writable);
    ~StreamObj() override;
    bool Supports(const IID& iid) const override;

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* read) override;
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* written) override;
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER size) override;
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return STG_E_INVALIDFUNCTION;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD flags) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return MAPI_E_NO_SUPPORT; }

private:
    void Flush();
    PropHooks* m_owner;  // holds a reference through m_owner->Self()
    ULONG m_tag;
    std::mutex m_lock;
    std::string m_data;
    std::size_t m_pos = 0;
    bool m_writable;
    bool m_dirty = false;
};

// ---- Tables ----
// A row of a table: its stored record (when hasRecord) and the computed columns its source lists
// with it; a store's contents rows come with their key and kept values instead, and their record
// only when the table needs it (RowSource).
struct TableRow {
    std::string blob;                                  // stored properties (property blob)
    std::vector<std::pair<ULONG, std::string>> extra;  // computed columns: tag, payload
    bool hasRecord = true;
    std::int64_t key = 0;       // contents rows: the message's key
    bool classMatched = false;  // contents rows: the class key is the one the table asked for
    ColumnState modifiedState = ColumnState::Absent;
    std::int64_t modified = 0;
};
using RowLoader = std::function<std::vector<TableRow>()>;

// Where a table's rows come from. Every call is made with StoreMutex() held, when there is one.
class RowSource {
public:
    virtual ~RowSource() = default;
    virtual std::mutex* StoreMutex() { return nullptr; }
    // The rows in the source's order. With a class key the table keeps only rows of that class,
    // and a source that ReadsKeys() may leave the others out (marking classMatched on the rows
    // it knows are of the class); `records`: every row with its record, else such a source may
    // leave records out.
    virtual std::vector<TableRow> Load(const std::optional<std::string>& classKey, bool records) = 0;
    virtual bool ReadsKeys() const { return false; }
    // Reads the records of rows loaded without them, `rows` in ascending key order, and hands
    // each to f with its row, in that order (a row whose object is gone is left out); the
    // record's bytes are the source's, valid during the call only.
    virtual void ReadRecords(const std::optional<std::string>& /*classKey*/,
                             std::span<TableRow* const> /*rows*/,
                             const std::function<void(TableRow&, std::string_view)>& /*f*/) {}
    // The same, each record kept in its row (hasRecord).
    void FetchRecords(const std::optional<std::string>& classKey, std::span<TableRow* const> rows) {
        ReadRecords(classKey, rows, [](TableRow& row, std::string_view record) {
            row.blob.assign(record);
            row.hasRecord = true;
        });
    }
    // A value the source computes or keeps beside the record: Value (its type and, when
    // `payload` is set, its payload), Absent, or InRecord (the record has it, or not).
    virtual ColumnState Kept(const TableRow& /*row*/, ULONG /*id*/, ULONG* /*type*/,
                             std::string* /*payload*/) const {
        return ColumnState::InRecord;
    }
    // False when Kept gives InRecord for `id` in every row (a table's column plan asks once).
    virtual bool MayKeep(ULONG /*id*/) const { return false; }
    // The tags of the values Kept gives for a row (a table's list of all its columns).
    virtual void KeptTags(const TableRow& /*row*/, std::vector<ULONG>& /*tags*/) const {}
    // The store's read snapshot (Storage::HoldSnapshot and the rest), for a store's tables.
    virtual void HoldSnapshot(bool /*hold*/) {}
    virtual void TableRead(bool /*begin*/) {}
    virtual void RefreshSnapshot() {}
};

// A table over rows that `loader` produces (run with `storeMutex` held when set).
IMAPITable* NewTable(std::mutex* storeMutex, RowLoader loader, std::vector<ULONG> defaultColumns,
                     bool unicode);
// A table over any source of rows.
IMAPITable* NewTable(std::unique_ptr<RowSource> source, std::vector<ULONG> defaultColumns, bool unicode);

// ---- Store, folders, messages ----
class MsgStoreObj;
class FolderObj;
class MessageObj;

// Opens an entry of a store by id (empty id: the root folder). Caller holds no lock.
HRESULT OpenStoreEntry(const StoreCtxPtr& ctx, ULONG cb, LPENTRYID eid, LPCIID iid, ULONG flags, ULONG* type,
                       LPUNKNOWN* out);

ComBase<IMsgStore>* NewMsgStore(StoreCtxPtr ctx);
IMAPISession* NewSession(ProfileEntry profile);
IProfAdmin* NewProfAdmin();

}  // namespace nx::mapi32
