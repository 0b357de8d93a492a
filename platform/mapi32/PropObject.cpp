// IMAPIProp over the PropHooks of each object, and the property stream.
#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/mapi32/Objects.h"
#include "platform/system/Utf.h"

namespace nx::mapi32 {

void TraceFailure(HRESULT hr, const char* what) noexcept {
    static const bool enabled = std::getenv("NX_MAPI_TRACE") != nullptr;
    if (enabled) std::fprintf(stderr, "libmapi32: 0X%08X %s\n", static_cast<unsigned>(hr), what ? what : "");
}

StoredValue Bin(std::string bytes) {
    return {PT_BINARY, std::move(bytes)};
}
StoredValue Long(LONG v) {
    return {PT_LONG, PayloadLong(v)};
}
StoredValue Bool(bool v) {
    return {PT_BOOLEAN, PayloadBool(v)};
}
StoredValue Text(std::u16string_view v) {
    return {PT_UNICODE, U16ToPayload(v)};
}

std::string TextArg(const void* p, ULONG flags) {
    if (!p) return {};
    if (flags & MAPI_UNICODE)
        return nx::sys::Utf16ToUtf8(PayloadToU16(StringPayload(static_cast<const char16_t*>(p))));
    return std::string(static_cast<const char*>(p));
}

namespace {

LPSPropProblemArray BuildProblems(const std::vector<SPropProblem>& problems) {
    if (problems.empty()) return nullptr;
    auto* arr = static_cast<LPSPropProblemArray>(
        AllocOrThrow(offsetof(SPropProblemArray, aProblem) + sizeof(SPropProblem) * problems.size()));
    arr->cProblem = static_cast<ULONG>(problems.size());
    std::copy(problems.begin(), problems.end(), arr->aProblem);
    return arr;
}

bool IsStreamableType(ULONG type) {
    return type == PT_BINARY || type == PT_UNICODE || type == PT_STRING8;
}

}  // namespace

template <class Iface>
HRESULT PropObject<Iface>::GetLastError(HRESULT, ULONG, LPMAPIERROR* err) {
    if (!err) return MAPI_E_INVALID_PARAMETER;
    *err = nullptr;
    return S_OK;
}

template <class Iface>
HRESULT PropObject<Iface>::SaveChanges(ULONG flags) {
    return Guarded([&] { return ReadOnly() ? MAPI_E_NO_ACCESS : Save(flags); });
}

template <class Iface>
HRESULT PropObject<Iface>::GetProps(LPSPropTagArray tags, ULONG flags, ULONG* count, LPSPropValue* props) {
    return Guarded([&]() -> HRESULT {
        if (!count || !props) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *props = nullptr;
        if (tags && tags->cValues == 0) return MAPI_E_INVALID_PARAMETER;
        bool unicode = (flags & MAPI_UNICODE) != 0;
        PropArrayBuilder b;
        auto add = [&](ULONG requestedType, std::uint16_t id, ULONG type, std::string_view payload,
                       std::uint64_t size) { b.AddStored(requestedType, id, type, payload, size, unicode); };
        auto addStored = [&](ULONG requestedType, std::uint16_t id, const StoredValue& v) {
            add(requestedType, id, v.type, v.payload, v.Size());
        };
        PropMap all;
        {
            std::lock_guard lock(Mutex());
            const RecordView* record = nullptr;
            if (tags && ViewFor(all, record)) {
                // The stored values are copied once, from the record into the answer; the views
                // stay valid while the mutex is held.
                assert(record);
                b.Reserve(tags->cValues);
                for (ULONG i = 0; i < tags->cValues; ++i) {
                    ULONG tag = tags->aulPropTag[i];
                    auto id = static_cast<std::uint16_t>(PROP_ID(tag));
                    PropRef ref;
                    if (auto it = all.find(id); it != all.end()) {
                        addStored(PROP_TYPE(tag), id, it->second);
                    } else if (record->Find(id, ref)) {
                        add(PROP_TYPE(tag), id, PROP_TYPE(ref.tag), ref.payload, ref.size);
                    } else {
                        b.AddError(id, MAPI_E_NOT_FOUND);
                    }
                }
                *props = b.Build();
                *count = static_cast<ULONG>(b.Count());
                return b.HasErrors() ? MAPI_W_ERRORS_RETURNED : S_OK;
            }
            if (tags) {
                CollectFor(*tags, all);
            } else {
                Collect(all);
            }
        }
        b.Reserve(tags ? tags->cValues : all.size());
        if (!tags) {
            for (const auto& [id, v] : all) addStored(PT_UNSPECIFIED, id, v);
        } else {
            for (ULONG i = 0; i < tags->cValues; ++i) {
                ULONG tag = tags->aulPropTag[i];
                auto id = static_cast<std::uint16_t>(PROP_ID(tag));
                auto it = all.find(id);
                if (it == all.end()) {
                    b.AddError(id, MAPI_E_NOT_FOUND);
                } else {
                    addStored(PROP_TYPE(tag), id, it->second);
                }
            }
        }
        *props = b.Build();
        *count = static_cast<ULONG>(b.Count());
        return b.HasErrors() ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::GetPropList(ULONG flags, LPSPropTagArray* tags) {
    return Guarded([&]() -> HRESULT {
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        *tags = nullptr;
        PropMap all;
        {
            std::lock_guard lock(Mutex());
            Collect(all);
        }
        auto* arr = static_cast<LPSPropTagArray>(AllocOrThrow(CbNewSPropTagArray(all.size())));
        arr->cValues = 0;
        for (const auto& [id, v] : all)
            arr->aulPropTag[arr->cValues++] =
                PROP_TAG(OutputType(PT_UNSPECIFIED, v.type, flags & MAPI_UNICODE), id);
        *tags = arr;
        return S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::SetProps(ULONG count, LPSPropValue props, LPSPropProblemArray* problemsOut) {
    return Guarded([&]() -> HRESULT {
        if (problemsOut) *problemsOut = nullptr;
        if (count && !props) return MAPI_E_INVALID_PARAMETER;
        if (ReadOnly()) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> problems;
        {
            std::lock_guard lock(Mutex());
            for (ULONG i = 0; i < count; ++i) {
                ULONG tag = props[i].ulPropTag;
                auto id = static_cast<std::uint16_t>(PROP_ID(tag));
                ULONG type = PROP_TYPE(tag);
                SCODE err = S_OK;
                if (id == 0 || id == PROP_ID_INVALID || !IsStorableType(StorageType(type))) {
                    err = MAPI_E_INVALID_TYPE;
                } else if (IsComputed(id)) {
                    err = MAPI_E_COMPUTED;
                } else {
                    try {
                        Set(id, FromSPropValue(props[i]));
                    } catch (const MapiError& e) {
                        err = e.hr();
                    }
                }
                if (err != S_OK) problems.push_back({i, tag, err});
            }
            EndEdit();
        }
        if (problemsOut) *problemsOut = BuildProblems(problems);
        return S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::DeleteProps(LPSPropTagArray tags, LPSPropProblemArray* problemsOut) {
    return Guarded([&]() -> HRESULT {
        if (problemsOut) *problemsOut = nullptr;
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        if (ReadOnly()) return MAPI_E_NO_ACCESS;
        std::vector<SPropProblem> problems;
        {
            std::lock_guard lock(Mutex());
            for (ULONG i = 0; i < tags->cValues; ++i) {
                auto id = static_cast<std::uint16_t>(PROP_ID(tags->aulPropTag[i]));
                if (IsComputed(id)) {
                    problems.push_back({i, tags->aulPropTag[i], MAPI_E_COMPUTED});
                } else {
                    Delete(id);
                }
            }
            EndEdit();
        }
        if (problemsOut) *problemsOut = BuildProblems(problems);
        return S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::OpenProperty(ULONG tag, LPCIID iid, ULONG, ULONG flags, LPUNKNOWN* out) {
    return Guarded([&]() -> HRESULT {
        if (!out || !iid) return MAPI_E_INVALID_PARAMETER;
        *out = nullptr;
        if (*iid != IID_IStream && *iid != IID_ISequentialStream && *iid != IID_IUnknown)
            return MAPI_E_INTERFACE_NOT_SUPPORTED;
        ULONG type = PROP_TYPE(tag);
        auto id = static_cast<std::uint16_t>(PROP_ID(tag));
        if (!IsStreamableType(type)) return MAPI_E_NO_SUPPORT;
        bool create = (flags & MAPI_CREATE) != 0;
        bool writable = create || (flags & MAPI_MODIFY) != 0;
        if (writable && ReadOnly()) return MAPI_E_NO_ACCESS;
        std::string data;
        {
            std::lock_guard lock(Mutex());
            if (writable && IsComputed(id)) return MAPI_E_COMPUTED;
            if (!create) {
                PropMap all;
                Collect(all);
                auto it = all.find(id);
                if (it == all.end() || OutputType(type, it->second.type, true) == PT_ERROR)
                    return MAPI_E_NOT_FOUND;
                data = it->second.outOfLine ? LoadValue(id) : it->second.payload;
                if (type == PT_STRING8) data = nx::sys::Utf16ToUtf8(PayloadToU16(data));
            }
        }
        *out = new StreamObj(this, tag, std::move(data), writable);
        return S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::GetIDsFromNames(ULONG count, LPMAPINAMEID* names, ULONG flags,
                                           LPSPropTagArray* tags) {
    return Guarded([&]() -> HRESULT {
        if (!tags) return MAPI_E_INVALID_PARAMETER;
        *tags = nullptr;
        Storage* st = NamedStorage();
        if (!st) return MAPI_E_NO_SUPPORT;
        std::lock_guard lock(Mutex());
        if (count == 0 || !names) {
            // Every known name; MAPI_CREATE needs names to create.
            if (count != 0 || names || (flags & MAPI_CREATE)) return MAPI_E_INVALID_PARAMETER;
            auto all = st->AllNamedProps();
            auto* arr = static_cast<LPSPropTagArray>(AllocOrThrow(CbNewSPropTagArray(all.size())));
            arr->cValues = static_cast<ULONG>(all.size());
            for (std::size_t i = 0; i < all.size(); ++i)
                arr->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, all[i].id);
            *tags = arr;
            return S_OK;
        }
        BufferGuard guard(AllocOrThrow(CbNewSPropTagArray(count)));
        auto* arr = static_cast<LPSPropTagArray>(guard.get());
        arr->cValues = count;
        bool errors = false;
        for (ULONG i = 0; i < count; ++i) {
            const MAPINAMEID* n = names[i];
            ULONG id = 0;
            if (n && n->lpguid) {
                if (n->ulKind == MNID_ID && *n->lpguid == PS_MAPI) {
                    if (n->Kind.lID > 0 && n->Kind.lID < static_cast<LONG>(MAPI_NAMED_PROP_MIN))
                        id = static_cast<ULONG>(n->Kind.lID);
                } else if (n->ulKind == MNID_ID) {
                    id = st->NamedPropId(*n->lpguid, MNID_ID, n->Kind.lID, {}, flags & MAPI_CREATE);
                } else if (n->ulKind == MNID_STRING && n->Kind.lpwstrName) {
                    std::u16string name = PayloadToU16(StringPayload(n->Kind.lpwstrName));
                    id = st->NamedPropId(*n->lpguid, MNID_STRING, 0, name, flags & MAPI_CREATE);
                }
            }
            if (id) {
                arr->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, id);
            } else {
                arr->aulPropTag[i] = PROP_TAG(PT_ERROR, 0);
                errors = true;
            }
        }
        *tags = static_cast<LPSPropTagArray>(guard.release());
        return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
}

template <class Iface>
HRESULT PropObject<Iface>::GetNamesFromIDs(LPSPropTagArray* tagsInOut, LPGUID guid, ULONG flags, ULONG* count,
                                           LPMAPINAMEID** namesOut) {
    return Guarded([&]() -> HRESULT {
        if (!tagsInOut || !count || !namesOut) return MAPI_E_INVALID_PARAMETER;
        *count = 0;
        *namesOut = nullptr;
        Storage* st = NamedStorage();
        if (!st) return MAPI_E_NO_SUPPORT;
        std::lock_guard lock(Mutex());
        std::vector<ULONG> ids;
        BufferGuard tagGuard;
        if (*tagsInOut && (*tagsInOut)->cValues == 0) return MAPI_E_INVALID_PARAMETER;
        if (!*tagsInOut) {
            // All names of the set (or of every set); MAPI_NO_STRINGS leaves out string names,
            // MAPI_NO_IDS numeric ones.
            for (const auto& np : st->AllNamedProps()) {
                if (guid && np.guid != *guid) continue;
                if ((flags & MAPI_NO_STRINGS) && np.kind == MNID_STRING) continue;
                if ((flags & MAPI_NO_IDS) && np.kind == MNID_ID) continue;
                ids.push_back(np.id);
            }
            tagGuard = BufferGuard(AllocOrThrow(CbNewSPropTagArray(ids.size())));
            auto* arr = static_cast<LPSPropTagArray>(tagGuard.get());
            arr->cValues = static_cast<ULONG>(ids.size());
            for (std::size_t i = 0; i < ids.size(); ++i)
                arr->aulPropTag[i] = PROP_TAG(PT_UNSPECIFIED, ids[i]);
        } else {
            for (ULONG i = 0; i < (*tagsInOut)->cValues; ++i)
                ids.push_back(PROP_ID((*tagsInOut)->aulPropTag[i]));
        }
        BufferGuard guard(AllocOrThrow(sizeof(LPMAPINAMEID) * std::max<std::size_t>(ids.size(), 1)));
        auto* names = static_cast<LPMAPINAMEID*>(guard.get());
        bool errors = false;
        for (std::size_t i = 0; i < ids.size(); ++i) {
            NamedProp np;
            if (ids[i] > 0 && ids[i] < MAPI_NAMED_PROP_MIN) {
                np.guid = PS_MAPI;
                np.kind = MNID_ID;
                np.lid = static_cast<LONG>(ids[i]);
            } else if (auto found = st->NamedPropName(ids[i])) {
                np = *found;
            } else {
                names[i] = nullptr;
                errors = true;
                continue;
            }
            auto* n = static_cast<LPMAPINAMEID>(AllocMoreOrThrow(sizeof(MAPINAMEID), names));
            n->lpguid = static_cast<LPGUID>(AllocMoreOrThrow(sizeof(GUID), names));
            *n->lpguid = np.guid;
            n->ulKind = np.kind;
            if (np.kind == MNID_STRING) {
                auto* s = static_cast<char16_t*>(AllocMoreOrThrow((np.name.size() + 1) * 2, names));
                std::memcpy(s, np.name.data(), np.name.size() * 2);
                n->Kind.lpwstrName = s;
            } else {
                n->Kind.lID = np.lid;
            }
            names[i] = n;
        }
        if (!*tagsInOut) *tagsInOut = static_cast<LPSPropTagArray>(tagGuard.release());
        *count = static_cast<ULONG>(ids.size());
        *namesOut = static_cast<LPMAPINAMEID*>(guard.release());
        return errors ? MAPI_W_ERRORS_RETURNED : S_OK;
    });
}

template class PropObject<IMsgStore>;
template class PropObject<IMAPIFolder>;
template class PropObject<IMessage>;
template class PropObject<IAttach>;

// ---- StreamObj ----

StreamObj::StreamObj(PropHooks* owner, ULONG tag, std::string data, bool writable)
    : m_owner(owner), m_tag(tag), m_data(std::move(data)), m_writable(writable) {
    m_owner->Self()->AddRef();
}

StreamObj::~StreamObj() {
    try {
        if (m_dirty) Flush();
    } catch (...) {
        // The last Release has nowhere to report a failed write; Commit does.
    }
    m_owner->Self()->Release();
}

bool StreamObj::Supports(const IID& iid) const {
    return iid == IID_IUnknown || iid == IID_IStream || iid == IID_ISequentialStream;
}

HRESULT StreamObj::Read(void* pv, ULONG cb, ULONG* read) {
    if (read) *read = 0;
    if (!pv && cb) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(m_lock);
    std::size_t n = m_pos < m_data.size() ? std::min<std::size_t>(cb, m_data.size() - m_pos) : 0;
    if (n) std::memcpy(pv, m_data.data() + m_pos, n);
    m_pos += n;
    if (read) *read = static_cast<ULONG>(n);
    return S_OK;
}

HRESULT StreamObj::Write(const void* pv, ULONG cb, ULONG* written) {
    return Guarded([&]() -> HRESULT {
        if (written) *written = 0;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        if (!m_writable) return STG_E_ACCESSDENIED;
        std::lock_guard lock(m_lock);
        if (m_pos + cb > kMaxValueSize) return STG_E_MEDIUMFULL;
        if (m_data.size() < m_pos + cb) m_data.resize(m_pos + cb);
        if (cb) std::memcpy(m_data.data() + m_pos, pv, cb);
        m_pos += cb;
        m_dirty = true;
        if (written) *written = cb;
        return S_OK;
    });
}

HRESULT StreamObj::Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* pos) {
    std::lock_guard lock(m_lock);
    long long base;
    switch (origin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = static_cast<long long>(m_pos);
            break;
        case STREAM_SEEK_END:
            base = static_cast<long long>(m_data.size());
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    long long target = base + move.QuadPart;
    if (target < 0 || static_cast<unsigned long long>(target) > kMaxValueSize) return STG_E_INVALIDFUNCTION;
    m_pos = static_cast<std::size_t>(target);
    if (pos) pos->QuadPart = m_pos;
    return S_OK;
}

HRESULT StreamObj::SetSize(ULARGE_INTEGER size) {
    return Guarded([&]() -> HRESULT {
        if (!m_writable) return STG_E_ACCESSDENIED;
        if (size.QuadPart > kMaxValueSize) return STG_E_MEDIUMFULL;
        std::lock_guard lock(m_lock);
        m_data.resize(static_cast<std::size_t>(size.QuadPart));
        m_dirty = true;
        return S_OK;
    });
}

HRESULT StreamObj::CopyTo(IStream* dst, ULARGE_INTEGER cb, ULARGE_INTEGER* readOut,
                          ULARGE_INTEGER* writtenOut) {
    return Guarded([&]() -> HRESULT {
        if (!dst) return STG_E_INVALIDPOINTER;
        std::string chunk;
        {
            std::lock_guard lock(m_lock);
            std::size_t n = m_pos < m_data.size() ? m_data.size() - m_pos : 0;
            n = static_cast<std::size_t>(std::min<ULONGLONG>(n, cb.QuadPart));
            chunk = m_data.substr(m_pos, n);
            m_pos += n;
        }
        ULONG written = 0;
        HRESULT hr = dst->Write(chunk.data(), static_cast<ULONG>(chunk.size()), &written);
        if (readOut) readOut->QuadPart = chunk.size();
        if (writtenOut) writtenOut->QuadPart = written;
        return hr;
    });
}

void StreamObj::Flush() {
    std::string data;
    {
        std::lock_guard lock(m_lock);
        data = m_data;
        m_dirty = false;
    }
    ULONG type = PROP_TYPE(m_tag);
    StoredValue v;
    if (type == PT_STRING8) {
        v = {PT_UNICODE, Utf8Payload(data)};
    } else if (type == PT_UNICODE) {
        if (data.size() % 2) data.pop_back();  // a dangling half code unit cannot be text
        // A terminating NUL written by the caller is not part of the text.
        while (data.size() >= 2 && data[data.size() - 1] == 0 && data[data.size() - 2] == 0)
            data.resize(data.size() - 2);
        v = {PT_UNICODE, std::move(data)};
    } else {
        v = {PT_BINARY, std::move(data)};
    }
    std::lock_guard lock(m_owner->Mutex());
    m_owner->Set(static_cast<std::uint16_t>(PROP_ID(m_tag)), std::move(v));
    m_owner->EndEdit();
}

HRESULT StreamObj::Commit(DWORD) {
    return Guarded([&]() -> HRESULT {
        if (!m_writable) return S_OK;
        Flush();
        return S_OK;
    });
}

HRESULT StreamObj::Revert() {
    std::lock_guard lock(m_lock);
    m_dirty = false;
    return S_OK;
}

HRESULT StreamObj::Stat(STATSTG* stat, DWORD) {
    if (!stat) return STG_E_INVALIDPOINTER;
    std::lock_guard lock(m_lock);
    std::memset(stat, 0, sizeof(*stat));
    stat->type = STGTY_STREAM;
    stat->cbSize.QuadPart = m_data.size();
    stat->grfMode = m_writable ? STGM_READWRITE : STGM_READ;
    return S_OK;
}

}  // namespace nx::mapi32
