// Messages and attachments: both are transacted. A message keeps its edits in memory until
// SaveChanges, which writes the message and every attachment change in one transaction. An
// attachment's SaveChanges hands its edits to its message; they reach the store file with the
// message's next SaveChanges, as MAPI prescribes. A message embedded in an attachment
// (OpenProperty(PR_ATTACH_DATA_OBJ, IID_IMessage)) is transacted into its attachment likewise:
// its SaveChanges, then the attachment's, then the message's store it.
#include <algorithm>
#include <cassert>
#include <climits>
#include <optional>

#include "platform/mapi32/Internal.h"

namespace nx::mapi32 {
namespace {

// The properties of a transacted object (message, attachment) with the edits SaveChanges has not
// written yet.
struct TransactedProps {
    PropMap props;
    std::set<std::uint16_t> dirty;
    std::set<std::uint16_t> removed;

    void Set(std::uint16_t id, StoredValue v) {
        props[id] = std::move(v);
        dirty.insert(id);
        removed.erase(id);
    }
    void Delete(std::uint16_t id) {
        props.erase(id);
        dirty.erase(id);
        removed.insert(id);
    }
    // The values of the tags asked for (a contact has some 70; GetProps asks for a few).
    void CopyFor(const SPropTagArray& tags, PropMap& out) const {
        for (ULONG i = 0; i < tags.cValues; ++i) {
            const auto id = static_cast<std::uint16_t>(PROP_ID(tags.aulPropTag[i]));
            if (auto it = props.find(id); it != props.end()) out.insert(*it);
        }
    }
};

constexpr ULONG kUnknownAttachNum = 0xFFFFFFFFu;

// The saved edits of an embedded message that its attachment or message has not stored yet.
struct EmbeddedEdit {
    bool replace = false;  // opened with MAPI_CREATE: the stored message goes, `set` is all of the new one
    PropMap set;           // complete values
    std::set<std::uint16_t> removed;

    // A later edit on top of this one.
    void Merge(const EmbeddedEdit& later) {
        if (later.replace) {
            *this = later;
            return;
        }
        for (const auto& [id, v] : later.set) {
            set[id] = v;
            removed.erase(id);
        }
        for (std::uint16_t id : later.removed) {
            set.erase(id);
            removed.insert(id);
        }
    }
    // The values of the message after this edit.
    void ApplyTo(PropMap& props) const {
        if (replace) props.clear();
        for (std::uint16_t id : removed) props.erase(id);
        for (const auto& [id, v] : set) props[id] = v;
    }
};

struct AttachState {
    std::int64_t rowId = 0;  // 0: not in the store file yet
    PropMap props;           // every value; out-of-line ones not loaded unless edited
    std::set<std::uint16_t> dirty;
    std::set<std::uint16_t> removed;
    bool deleted = false;
    std::optional<EmbeddedEdit> embedded;
};

}  // namespace

class MessageObj final : public PropObject<IMessage> {
public:
    MessageObj(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind, PropMap props, bool readOnly)
        : m_ctx(std::move(ctx)),
          m_id(id),
          m_parent(parent),
          m_kind(kind),
          m_state{std::move(props), {}, {}},
          m_readOnly(readOnly) {}

    // A message opened from the file: its record stays as read and is decoded only when the
    // message is edited, saved or listed whole. A read asks for a few of its values (a contact
    // has some 70), and decoding all of them had cost more than the rest of the open.
    // Valid() is false when the record is damaged.
    MessageObj(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind, std::string record,
               bool readOnly)
        : m_ctx(std::move(ctx)),
          m_id(id),
          m_parent(parent),
          m_kind(kind),
          m_record(std::move(record)),
          m_decoded(false),
          m_readOnly(readOnly) {
        m_valid = m_view.Open(m_record);  // views into m_record, which stays put
    }
    bool Valid() const { return m_valid; }

    // The values, decoded from the stored record at the first need (the caller holds the mutex).
    TransactedProps& State() {
        if (!m_decoded) {
            if (FAILED(DecodeBlob(m_record, m_state.props))) throw MapiError(MAPI_E_CORRUPT_DATA);
            m_decoded = true;
            m_view = RecordView();
            std::string().swap(m_record);
        }
        return m_state;
    }

    bool Supports(const IID& iid) const override {
        return iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMessage;
    }
    std::mutex& Mutex() override { return m_ctx->mutex(); }
    Storage* NamedStorage() override { return &m_ctx->db(); }
    const StoreCtx& Ctx() const { return *m_ctx; }
    bool ReadOnly() override { return m_readOnly; }
    bool IsComputed(ULONG id) override { return IsComputedIdentity(id) || id == PROP_ID(PR_HASATTACH); }

    void Collect(PropMap& out) override {
        out = State().props;
        AddComputed(out);
    }
    void CollectFor(const SPropTagArray& tags, PropMap& out) override {
        if (m_decoded) {
            m_state.CopyFor(tags, out);
        } else {
            for (ULONG i = 0; i < tags.cValues; ++i) {
                const ULONG id = PROP_ID(tags.aulPropTag[i]);
                PropRef ref;
                if (m_view.Find(id, ref))
                    out.emplace(static_cast<std::uint16_t>(id),
                                StoredValue{static_cast<ULONG>(PROP_TYPE(ref.tag)), std::string(ref.payload),
                                            ref.outOfLine, ref.size});
            }
        }
        AddComputed(out);
    }
    bool ViewFor(PropMap& computed, const RecordView*& record) override {
        if (m_decoded) return false;
        AddComputed(computed);
        record = &m_view;
        return true;
    }
    void AddComputed(PropMap& out) {
        AddStoreIdentity(*m_ctx, out);
        if (m_id) {
            std::string eid = m_ctx->MessageId(m_id);
            out[PROP_ID(PR_ENTRYID)] = Bin(eid);
            out[PROP_ID(PR_RECORD_KEY)] = Bin(eid);
        }
        out[PROP_ID(PR_PARENT_ENTRYID)] = Bin(m_ctx->FolderId(m_parent));
        out[PROP_ID(PR_OBJECT_TYPE)] = Long(MAPI_MESSAGE);
        if (!m_id || !m_staged.empty()) out[PROP_ID(PR_HASATTACH)] = Bool(HasAttachments());
    }
    void Set(std::uint16_t id, StoredValue v) override { State().Set(id, std::move(v)); }
    void Delete(std::uint16_t id) override { State().Delete(id); }
    std::string LoadValue(std::uint16_t id) override {
        if (!m_id) throw MapiError(MAPI_E_NOT_FOUND);
        return m_ctx->db().LoadLarge(m_id, id);
    }

    HRESULT Save(ULONG) override {
        std::lock_guard lock(Mutex());
        std::vector<Change> batch(1);
        TransactedProps& state = State();
        Change& m = batch[0];
        m.id = m_id;
        m.kind = m_kind;
        m.parent = m_parent;
        for (std::uint16_t id : state.dirty) m.set[id] = state.props[id];
        m.removeProps.assign(state.removed.begin(), state.removed.end());
        // Times the caller set explicitly are kept; otherwise the store stamps them.
        std::string now = NowPayload();
        if (!m_id && !state.dirty.count(PROP_ID(PR_CREATION_TIME)))
            m.set[PROP_ID(PR_CREATION_TIME)] = {PT_SYSTIME, now};
        if (!state.dirty.count(PROP_ID(PR_LAST_MODIFICATION_TIME)))
            m.set[PROP_ID(PR_LAST_MODIFICATION_TIME)] = {PT_SYSTIME, now};
        m.set[PROP_ID(PR_HASATTACH)] = Bool(HasAttachments());
        // From here on batch grows: `m` is not used again.
        std::vector<std::pair<ULONG, std::size_t>> attachAt;  // attachment number, its change
        for (auto& [num, st] : m_staged) {
            Change c;
            bool changed = true;
            if (st.deleted) {
                // Its embedded message goes with it (the file deletes an object's children).
                if (!st.rowId) continue;
                c.id = st.rowId;
                c.remove = true;
            } else if (!st.rowId) {
                c.kind = kKindAttachment;
                c.parent = m_id ? m_id : kParentOfBatch;
                c.attachNum = static_cast<std::int32_t>(num);
                c.set = st.props;
            } else if (!st.dirty.empty() || !st.removed.empty()) {
                c.id = st.rowId;
                for (std::uint16_t id : st.dirty) c.set[id] = st.props[id];
                c.removeProps.assign(st.removed.begin(), st.removed.end());
            } else {
                changed = false;
            }
            std::int64_t attachParent = st.rowId;
            if (changed) {
                batch.push_back(std::move(c));
                attachAt.emplace_back(num, batch.size() - 1);
                if (!st.rowId) attachParent = ParentInBatch(batch.size() - 1);
            }
            if (!st.deleted && st.embedded) AddEmbeddedChanges(*st.embedded, st.rowId, attachParent, batch);
        }
        std::vector<std::int64_t> ids = m_ctx->db().Save(batch);
        // Committed: the in-memory state now matches the file.
        m_id = ids[0];
        for (auto& [id, v] : batch[0].set) state.props[id] = v;
        state.dirty.clear();
        state.removed.clear();
        for (auto [num, at] : attachAt) {
            AttachState& st = m_staged[num];
            if (st.deleted) {
                m_staged.erase(num);
                continue;
            }
            st.rowId = ids[at];
        }
        for (auto& [num, st] : m_staged) {
            st.dirty.clear();
            st.removed.clear();
            st.embedded.reset();
        }
        return S_OK;
    }

    // The changes that store an attachment's embedded message: a replaced one is removed and the
    // new one inserted whole, else the stored one takes the edit.
    void AddEmbeddedChanges(const EmbeddedEdit& edit, std::int64_t attachRow, std::int64_t attachParent,
                            std::vector<Change>& batch) {
        const std::int64_t stored = attachRow ? EmbeddedRow(attachRow) : 0;
        if (stored && edit.replace) {
            Change gone;
            gone.id = stored;
            gone.remove = true;
            batch.push_back(std::move(gone));
        }
        Change c;
        c.set = edit.set;
        if (stored && !edit.replace) {
            c.id = stored;
            c.removeProps.assign(edit.removed.begin(), edit.removed.end());
        } else {
            assert(edit.replace && "only a created embedded message has no row yet");
            c.kind = kKindEmbedded;
            c.parent = attachParent;
        }
        batch.push_back(std::move(c));
    }

    // The key of the message embedded in a stored attachment (0: none).
    std::int64_t EmbeddedRow(std::int64_t attachRow) {
        std::int64_t found = 0;
        m_ctx->db().QueryChildren(attachRow, kKindEmbedded, [&](const ObjectRow& row) {
            if (!found) found = row.id;
        });
        return found;
    }

    // The message embedded in attachment `num` as the file and the saved edits give it: its key
    // in the file (0 when none, or when a saved edit replaces it) and its values; false when the
    // attachment has none.
    bool EmbeddedOf(ULONG num, std::int64_t& rowId, PropMap& props) {
        auto it = m_staged.find(num);
        const std::int64_t attachRow = it != m_staged.end() ? it->second.rowId : CommittedRow(num);
        rowId = attachRow ? EmbeddedRow(attachRow) : 0;
        props.clear();
        if (rowId) {
            std::optional<ObjectRow> row = m_ctx->db().Load(rowId);
            if (!row || FAILED(DecodeBlob(row->props, props))) throw MapiError(MAPI_E_CORRUPT_DATA);
        }
        if (it == m_staged.end() || !it->second.embedded) return rowId != 0;
        if (it->second.embedded->replace) rowId = 0;  // its stored values are not its any more
        it->second.embedded->ApplyTo(props);
        return true;
    }

    // ---- Attachments (the caller holds the store mutex) ----

    // An attachment as ForEachAttachment gives it: its staged values, or else its stored record.
    struct Attachment {
        const PropMap* staged;
        std::string_view record;
    };

    template <class F>
    void ForEachAttachment(F&& f) {
        if (m_id) {
            m_ctx->db().QueryChildren(m_id, kKindAttachment, [&](const ObjectRow& row) {
                auto num = static_cast<ULONG>(row.attachNum);
                auto it = m_staged.find(num);
                if (it != m_staged.end()) {
                    if (!it->second.deleted) f(num, it->second.rowId, Attachment{&it->second.props, {}});
                    return;
                }
                // Checked, not decoded: most callers only count them, a table takes the record.
                if (!RecordView().Open(row.props)) throw MapiError(MAPI_E_CORRUPT_DATA);
                f(num, row.id, Attachment{nullptr, row.props});
            });
        }
        for (auto& [num, st] : m_staged)
            if (!st.rowId && !st.deleted) f(num, std::int64_t{0}, Attachment{&st.props, {}});
    }

    bool HasAttachments() {
        bool any = false;
        ForEachAttachment([&](ULONG, std::int64_t, const Attachment&) { any = true; });
        return any;
    }

    std::int64_t CommittedRow(ULONG num) {
        std::int64_t found = 0;
        if (m_id)
            m_ctx->db().QueryChildren(m_id, kKindAttachment, [&](const ObjectRow& row) {
                if (static_cast<ULONG>(row.attachNum) == num) found = row.id;
            });
        return found;
    }

    // Takes an attachment's saved edits (and those of its embedded message).
    void Stage(ULONG num, const PropMap& props, const std::set<std::uint16_t>& dirty,
               const std::set<std::uint16_t>& removed, const std::optional<EmbeddedEdit>& embedded) {
        auto it = m_staged.find(num);
        if (it == m_staged.end()) {
            AttachState st;
            st.rowId = CommittedRow(num);
            it = m_staged.emplace(num, std::move(st)).first;
        }
        AttachState& st = it->second;
        if (st.deleted) throw MapiError(MAPI_E_OBJECT_DELETED);
        st.props = props;
        for (auto id : removed) {
            st.dirty.erase(id);
            st.removed.insert(id);
        }
        for (auto id : dirty) {
            st.removed.erase(id);
            st.dirty.insert(id);
        }
        if (embedded) {
            if (st.embedded) {
                st.embedded->Merge(*embedded);
            } else {
                st.embedded = embedded;
            }
        }
    }

    std::string LoadAttachValue(std::int64_t rowId, std::uint16_t id) {
        if (!rowId) throw MapiError(MAPI_E_NOT_FOUND);
        return m_ctx->db().LoadLarge(rowId, id);
    }

    ULONG NextAttachNum() {
        if (m_nextAttach == kUnknownAttachNum) {
            ULONG next = 0;
            ForEachAttachment(
                [&](ULONG num, std::int64_t, const Attachment&) { next = std::max(next, num + 1); });
            for (auto& [num, st] : m_staged) next = std::max(next, num + 1);
            m_nextAttach = next;
        }
        return m_nextAttach++;
    }

    std::vector<TableRow> AttachmentRows() {
        std::vector<TableRow> rows;
        ForEachAttachment([&](ULONG num, std::int64_t, const Attachment& a) {
            TableRow row;
            row.blob = a.staged ? EncodeBlob(*a.staged) : std::string(a.record);
            row.extra.emplace_back(PR_ATTACH_NUM, PayloadLong(static_cast<LONG>(num)));
            row.extra.emplace_back(PR_INSTANCE_KEY, InstanceKey(num));
            row.extra.emplace_back(PR_OBJECT_TYPE, PayloadLong(MAPI_ATTACH));
            rows.push_back(std::move(row));
        });
        return rows;
    }

    HRESULT STDMETHODCALLTYPE GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override;
    HRESULT STDMETHODCALLTYPE OpenAttach(ULONG num, LPCIID iid, ULONG flags, LPATTACH* out) override;
    HRESULT STDMETHODCALLTYPE CreateAttach(LPCIID iid, ULONG flags, ULONG* num, LPATTACH* out) override;
    HRESULT STDMETHODCALLTYPE DeleteAttach(ULONG num, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
        return Guarded([&]() -> HRESULT {
            if (m_readOnly) return MAPI_E_NO_ACCESS;
            std::lock_guard lock(Mutex());
            auto it = m_staged.find(num);
            if (it != m_staged.end()) {
                if (it->second.deleted) return MAPI_E_NOT_FOUND;
                if (it->second.rowId) {
                    it->second.deleted = true;
                } else {
                    m_staged.erase(it);
                }
                return S_OK;
            }
            std::int64_t row = CommittedRow(num);
            if (!row) return MAPI_E_NOT_FOUND;
            AttachState st;
            st.rowId = row;
            st.deleted = true;
            m_staged.emplace(num, std::move(st));
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE GetRecipientTable(ULONG flags, LPMAPITABLE* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = NewTable(
                nullptr, [] { return std::vector<TableRow>(); },
                {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_ADDRTYPE_W, PR_INSTANCE_KEY},
                (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

private:
    StoreCtxPtr m_ctx;
    std::int64_t m_id;
    std::int64_t m_parent;
    int m_kind;
    TransactedProps m_state;  // decoded from m_record at the first need
    std::string m_record;     // the stored record while not decoded
    RecordView m_view;        // its values, viewed in place
    bool m_decoded = true;
    bool m_valid = true;
    std::map<ULONG, AttachState> m_staged;
    ULONG m_nextAttach = kUnknownAttachNum;
    bool m_readOnly;
};

// An attachment or an embedded message: its values are transacted in memory until Save hands
// them to the object above it, and completed by the values the runtime computes.
template <class I>
class TransactedObject : public PropObject<I> {
public:
    explicit TransactedObject(PropMap props) : m_state{std::move(props), {}, {}} {}

    void Collect(PropMap& out) override {
        out = m_state.props;
        AddComputed(out);
    }
    void CollectFor(const SPropTagArray& tags, PropMap& out) override {
        m_state.CopyFor(tags, out);
        AddComputed(out);
    }
    void Set(std::uint16_t id, StoredValue v) override { m_state.Set(id, std::move(v)); }
    void Delete(std::uint16_t id) override { m_state.Delete(id); }

protected:
    virtual void AddComputed(PropMap& out) = 0;

    TransactedProps m_state;
};

class AttachObj final : public TransactedObject<IAttach> {
public:
    AttachObj(MessageObj* msg, ULONG num, std::int64_t rowId, PropMap props, bool readOnly)
        : TransactedObject(std::move(props)), m_msg(msg), m_num(num), m_rowId(rowId), m_readOnly(readOnly) {
        m_msg->AddRef();
    }
    bool ReadOnly() override { return m_readOnly; }
    ~AttachObj() override { m_msg->Release(); }

    bool Supports(const IID& iid) const override {
        return iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IAttachment;
    }
    std::mutex& Mutex() override { return m_msg->Mutex(); }
    Storage* NamedStorage() override { return m_msg->NamedStorage(); }
    bool IsComputed(ULONG id) override {
        return id == PROP_ID(PR_ATTACH_NUM) || id == PROP_ID(PR_OBJECT_TYPE) ||
               id == PROP_ID(PR_INSTANCE_KEY) || id == PROP_ID(PR_STORE_ENTRYID) ||
               id == PROP_ID(PR_STORE_RECORD_KEY) || id == PROP_ID(PR_MAPPING_SIGNATURE);
    }
    void AddComputed(PropMap& out) override {
        AddStoreIdentity(m_msg->Ctx(), out);
        out[PROP_ID(PR_ATTACH_NUM)] = Long(static_cast<LONG>(m_num));
        out[PROP_ID(PR_OBJECT_TYPE)] = Long(MAPI_ATTACH);
    }
    std::string LoadValue(std::uint16_t id) override { return m_msg->LoadAttachValue(m_rowId, id); }

    HRESULT Save(ULONG) override {
        std::lock_guard lock(Mutex());
        // An attachment without an explicit size reports the size of its data.
        auto data = m_state.props.find(PROP_ID(PR_ATTACH_DATA_BIN));
        if (!m_state.props.count(PROP_ID(PR_ATTACH_SIZE)) && data != m_state.props.end()) {
            m_state.props[PROP_ID(PR_ATTACH_SIZE)] =
                Long(static_cast<LONG>(std::min<std::uint64_t>(data->second.Size(), LONG_MAX)));
            m_state.dirty.insert(PROP_ID(PR_ATTACH_SIZE));
        }
        m_msg->Stage(m_num, m_state.props, m_state.dirty, m_state.removed, m_embedded);
        m_state.dirty.clear();
        m_state.removed.clear();
        m_embedded.reset();
        return S_OK;
    }

    // PR_ATTACH_DATA_OBJ as IID_IMessage is the embedded message; any other is a stream.
    HRESULT STDMETHODCALLTYPE OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags,
                                           LPUNKNOWN* out) override;

    // Takes the saved edits of the embedded message (the caller holds the store mutex).
    void TakeEmbedded(const EmbeddedEdit& edit) {
        if (m_embedded) {
            m_embedded->Merge(edit);
        } else {
            m_embedded = edit;
        }
    }
    MessageObj& Message() { return *m_msg; }

private:
    MessageObj* m_msg;
    ULONG m_num;
    std::int64_t m_rowId;
    bool m_readOnly;
    std::optional<EmbeddedEdit> m_embedded;  // saved into this attachment, not yet into the message
};

// A message embedded in an attachment: transacted into it, holding no attachments or
// recipients of its own, and without entry ids (it is no folder's item).
class EmbeddedMessageObj final : public TransactedObject<IMessage> {
public:
    EmbeddedMessageObj(AttachObj* attach, std::int64_t rowId, PropMap props, bool create, bool readOnly)
        : TransactedObject(std::move(props)),
          m_attach(attach),
          m_rowId(rowId),
          m_replace(create),
          m_readOnly(readOnly) {
        m_attach->AddRef();
    }
    ~EmbeddedMessageObj() override { m_attach->Release(); }

    bool Supports(const IID& iid) const override {
        return iid == IID_IUnknown || iid == IID_IMAPIProp || iid == IID_IMessage;
    }
    std::mutex& Mutex() override { return m_attach->Mutex(); }
    Storage* NamedStorage() override { return m_attach->NamedStorage(); }
    bool ReadOnly() override { return m_readOnly; }
    bool IsComputed(ULONG id) override {
        return id == PROP_ID(PR_OBJECT_TYPE) || id == PROP_ID(PR_HASATTACH) ||
               id == PROP_ID(PR_STORE_ENTRYID) || id == PROP_ID(PR_STORE_RECORD_KEY) ||
               id == PROP_ID(PR_MAPPING_SIGNATURE);
    }
    void AddComputed(PropMap& out) override {
        AddStoreIdentity(m_attach->Message().Ctx(), out);
        out[PROP_ID(PR_OBJECT_TYPE)] = Long(MAPI_MESSAGE);
        out[PROP_ID(PR_HASATTACH)] = Bool(false);
    }
    std::string LoadValue(std::uint16_t id) override {
        if (!m_rowId) throw MapiError(MAPI_E_NOT_FOUND);
        return m_attach->Message().Ctx().db().LoadLarge(m_rowId, id);
    }

    HRESULT Save(ULONG) override {
        std::lock_guard lock(Mutex());
        EmbeddedEdit edit;
        edit.replace = m_replace;
        for (std::uint16_t id : m_state.dirty) edit.set[id] = m_state.props[id];
        edit.removed = m_state.removed;
        // A replacing edit carries every value: a created message starts empty, so all are dirty.
        assert((!m_replace || edit.set.size() == m_state.props.size()) && "a created message is saved whole");
        m_attach->TakeEmbedded(edit);
        m_state.dirty.clear();
        m_state.removed.clear();
        m_replace = false;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetAttachmentTable(ULONG flags, LPMAPITABLE* out) override {
        return EmptyTable(flags, {PR_ATTACH_NUM, PR_INSTANCE_KEY, PR_ATTACH_METHOD}, out);
    }
    HRESULT STDMETHODCALLTYPE OpenAttach(ULONG, LPCIID, ULONG, LPATTACH* out) override {
        if (out) *out = nullptr;
        return MAPI_E_NOT_FOUND;
    }
    // Attachments of an embedded message are not kept (nothing the agent writes has them).
    HRESULT STDMETHODCALLTYPE CreateAttach(LPCIID, ULONG, ULONG*, LPATTACH* out) override {
        if (out) *out = nullptr;
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE DeleteAttach(ULONG, ULONG_PTR, LPMAPIPROGRESS, ULONG) override {
        return MAPI_E_NOT_FOUND;
    }
    HRESULT STDMETHODCALLTYPE GetRecipientTable(ULONG flags, LPMAPITABLE* out) override {
        return EmptyTable(flags, {PR_DISPLAY_NAME_W, PR_EMAIL_ADDRESS_W, PR_ADDRTYPE_W, PR_INSTANCE_KEY},
                          out);
    }
    HRESULT STDMETHODCALLTYPE ModifyRecipients(ULONG, LPADRLIST) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SubmitMessage(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE SetReadFlag(ULONG) override { return MAPI_E_NO_SUPPORT; }

private:
    static HRESULT EmptyTable(ULONG flags, std::vector<ULONG> columns, LPMAPITABLE* out) {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = NewTable(
                nullptr, [] { return std::vector<TableRow>(); }, std::move(columns),
                (flags & MAPI_UNICODE) != 0);
            return S_OK;
        });
    }

    AttachObj* m_attach;   // holds a reference
    std::int64_t m_rowId;  // the stored message its unedited values come from (0: none)
    bool m_replace;        // created: the first save replaces what the attachment held
    bool m_readOnly;
};

HRESULT AttachObj::OpenProperty(ULONG tag, LPCIID iid, ULONG options, ULONG flags, LPUNKNOWN* out) {
    if (PROP_ID(tag) != PROP_ID(PR_ATTACH_DATA_OBJ) || !iid || *iid != IID_IMessage)
        return PropObject<IAttach>::OpenProperty(tag, iid, options, flags, out);
    return Guarded([&]() -> HRESULT {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        const bool create = (flags & MAPI_CREATE) != 0;
        const bool writable = create || (flags & MAPI_MODIFY) != 0;
        if (writable && m_readOnly) return MAPI_E_NO_ACCESS;
        std::int64_t rowId = 0;
        PropMap props;
        {
            std::lock_guard lock(Mutex());
            if (!create) {
                bool found = m_msg->EmbeddedOf(m_num, rowId, props);
                if (m_embedded) {
                    found = true;
                    if (m_embedded->replace) rowId = 0;
                    m_embedded->ApplyTo(props);
                }
                if (!found) return MAPI_E_NOT_FOUND;
            }
        }
        *out = new EmbeddedMessageObj(this, rowId, std::move(props), create, !writable);
        return S_OK;
    });
}

HRESULT MessageObj::GetAttachmentTable(ULONG flags, LPMAPITABLE* out) {
    return Guarded([&]() -> HRESULT {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        ComPtr<IMessage> keep(this);
        MessageObj* self = this;
        *out = NewTable(NewStoreSource(m_ctx, [keep, self] { return self->AttachmentRows(); }),
                        {PR_ATTACH_NUM, PR_INSTANCE_KEY, PR_ATTACH_METHOD, PR_ATTACH_SIZE, PR_DISPLAY_NAME_W},
                        (flags & MAPI_UNICODE) != 0);
        return S_OK;
    });
}

HRESULT MessageObj::OpenAttach(ULONG num, LPCIID iid, ULONG flags, LPATTACH* out) {
    return Guarded([&]() -> HRESULT {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        AttachObj* obj = nullptr;
        // An attachment is writable only when asked for and when its message is.
        bool readOnly = m_readOnly || (flags & (MAPI_MODIFY | MAPI_BEST_ACCESS)) == 0;
        {
            std::lock_guard lock(Mutex());
            ForEachAttachment([&](ULONG n, std::int64_t rowId, const Attachment& a) {
                if (n != num || obj) return;
                PropMap props;
                if (a.staged) {
                    props = *a.staged;
                } else if (FAILED(DecodeBlob(a.record, props))) {
                    throw MapiError(MAPI_E_CORRUPT_DATA);
                }
                obj = new AttachObj(this, n, rowId, std::move(props), readOnly);
            });
        }
        if (!obj) return MAPI_E_NOT_FOUND;
        return HandOut(obj, iid, reinterpret_cast<void**>(out));
    });
}

HRESULT MessageObj::CreateAttach(LPCIID iid, ULONG, ULONG* num, LPATTACH* out) {
    return Guarded([&]() -> HRESULT {
        if (!out) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (m_readOnly) return MAPI_E_NO_ACCESS;
        ULONG n;
        {
            std::lock_guard lock(Mutex());
            n = NextAttachNum();
        }
        if (num) *num = n;
        return HandOut(new AttachObj(this, n, 0, {}, false), iid, reinterpret_cast<void**>(out));
    });
}

ComBase<IMessage>* NewMessage(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind, PropMap props,
                              bool readOnly) {
    return new MessageObj(std::move(ctx), id, parent, kind, std::move(props), readOnly);
}

ComBase<IMessage>* NewStoredMessage(StoreCtxPtr ctx, std::int64_t id, std::int64_t parent, int kind,
                                    std::string record, bool readOnly) {
    auto message =
        std::make_unique<MessageObj>(std::move(ctx), id, parent, kind, std::move(record), readOnly);
    return message->Valid() ? message.release() : nullptr;
}

}  // namespace nx::mapi32
