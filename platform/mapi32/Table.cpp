// IMAPITable over a loader of rows: columns, restriction, sort order, cursor and bookmarks.
// Rows are read from the store when the table is first used and again after every Restrict,
// SortTable or SeekRow to the beginning (HrQueryAllRows does all three), so a query always sees
// the store as it is then; between those calls the table is a snapshot (TBLTYPE_SNAPSHOT). Row order is the
// loader's (key order: stable) unless sorted.
#include <algorithm>
#include <cassert>
#include <cstring>
#include <deque>
#include <optional>

#include "platform/mapi32/Objects.h"
#include "platform/system/CaseFold.h"

namespace nx::mapi32 {
namespace {

constexpr int kMaxRestrictionDepth = 64;
constexpr ULONG kMaxColumns = 4096;

// A restriction copied out of the caller's memory.
struct Res {
    ULONG rt = 0;
    ULONG relop = 0;
    ULONG tag = 0;
    ULONG tag2 = 0;
    ULONG fuzzy = 0;
    ULONG mask = 0;
    ULONG cb = 0;
    bool hasValue = false;
    StoredValue value;
    std::vector<Res> kids;
};

Res CopyRes(const SRestriction* r, int depth) {
    if (!r) throw MapiError(MAPI_E_INVALID_PARAMETER, "null restriction");
    if (depth > kMaxRestrictionDepth) throw MapiError(MAPI_E_TOO_COMPLEX, "restriction too deep");
    Res out;
    out.rt = r->rt;
    auto value = [&](const SPropValue* v, ULONG tag) {
        if (!v) throw MapiError(MAPI_E_INVALID_PARAMETER, "restriction without value");
        out.value = FromSPropValue(*v);
        out.hasValue = true;
        out.tag = tag;
    };
    auto kids = [&](ULONG n, const SRestriction* list) {
        if (n && !list) throw MapiError(MAPI_E_INVALID_PARAMETER, "restriction list");
        if (n > 100000) throw MapiError(MAPI_E_TOO_COMPLEX, "restriction too wide");
        for (ULONG i = 0; i < n; ++i) out.kids.push_back(CopyRes(&list[i], depth + 1));
    };
    switch (r->rt) {
        case RES_AND:
            kids(r->res.resAnd.cRes, r->res.resAnd.lpRes);
            break;
        case RES_OR:
            kids(r->res.resOr.cRes, r->res.resOr.lpRes);
            break;
        case RES_NOT:
            kids(1, r->res.resNot.lpRes);
            break;
        case RES_CONTENT: {
            out.fuzzy = r->res.resContent.ulFuzzyLevel;
            value(r->res.resContent.lpProp, r->res.resContent.ulPropTag);
            ULONG t = out.value.type;
            if (t != PT_UNICODE && t != PT_BINARY && t != PT_MV_UNICODE && t != PT_MV_BINARY)
                throw MapiError(MAPI_E_TOO_COMPLEX, "content restriction on a non-string");
            break;
        }
        case RES_PROPERTY:
            out.relop = r->res.resProperty.relop;
            if (out.relop > RELOP_NE) throw MapiError(MAPI_E_TOO_COMPLEX, "relation not supported");
            value(r->res.resProperty.lpProp, r->res.resProperty.ulPropTag);
            break;
        case RES_COMPAREPROPS:
            out.relop = r->res.resCompareProps.relop;
            if (out.relop > RELOP_NE) throw MapiError(MAPI_E_TOO_COMPLEX, "relation not supported");
            out.tag = r->res.resCompareProps.ulPropTag1;
            out.tag2 = r->res.resCompareProps.ulPropTag2;
            break;
        case RES_BITMASK:
            out.relop = r->res.resBitMask.relBMR;
            out.tag = r->res.resBitMask.ulPropTag;
            out.mask = r->res.resBitMask.ulMask;
            break;
        case RES_SIZE:
            out.relop = r->res.resSize.relop;
            if (out.relop > RELOP_NE) throw MapiError(MAPI_E_TOO_COMPLEX, "relation not supported");
            out.tag = r->res.resSize.ulPropTag;
            out.cb = r->res.resSize.cb;
            break;
        case RES_EXIST:
            out.tag = r->res.resExist.ulPropTag;
            break;
        case RES_COMMENT:
            if (r->res.resComment.lpRes) kids(1, r->res.resComment.lpRes);
            break;
        case RES_SUBRESTRICTION:
            throw MapiError(MAPI_E_TOO_COMPLEX, "sub-object restrictions are not supported");
        default:
            throw MapiError(MAPI_E_INVALID_PARAMETER, "unknown restriction type");
    }
    return out;
}

bool Relate(ULONG relop, int cmp) {
    switch (relop) {
        case RELOP_LT:
            return cmp < 0;
        case RELOP_LE:
            return cmp <= 0;
        case RELOP_GT:
            return cmp > 0;
        case RELOP_GE:
            return cmp >= 0;
        case RELOP_EQ:
            return cmp == 0;
        case RELOP_NE:
            return cmp != 0;
        default:
            return false;
    }
}

bool ContentMatch(ULONG fuzzy, ULONG type, std::string_view hay, std::string_view needle) {
    ULONG how = fuzzy & 0xFFFF;
    if (type == PT_UNICODE) {
        std::u16string h = PayloadToU16(hay), n = PayloadToU16(needle);
        if (fuzzy & (FL_IGNORECASE | FL_LOOSE)) {
            h = nx::sys::FoldCase(h);
            n = nx::sys::FoldCase(n);
        }
        if (how == FL_SUBSTRING) return h.find(n) != std::u16string::npos;
        if (how == FL_PREFIX) return h.compare(0, n.size(), n) == 0;
        return h == n;
    }
    if (how == FL_SUBSTRING) return hay.find(needle) != std::string_view::npos;
    if (how == FL_PREFIX) return hay.substr(0, needle.size()) == needle;
    return hay == needle;
}

// Splits a multi-valued payload into its element payloads.
std::vector<std::string_view> Elements(ULONG mvType, std::string_view payload) {
    std::vector<std::string_view> out;
    if (payload.size() < 4) return out;
    std::uint32_t count;
    std::memcpy(&count, payload.data(), 4);
    ULONG base = mvType & ~MV_FLAG;
    std::size_t pos = 4;
    std::size_t fixed = base == PT_I2                               ? 2
                        : (base == PT_LONG || base == PT_R4)        ? 4
                        : base == PT_CLSID                          ? 16
                        : (base == PT_BINARY || base == PT_UNICODE) ? 0
                                                                    : 8;
    for (std::uint32_t i = 0; i < count && pos <= payload.size(); ++i) {
        std::size_t len = fixed;
        if (!fixed) {
            if (payload.size() - pos < 4) break;
            std::uint32_t l;
            std::memcpy(&l, payload.data() + pos, 4);
            pos += 4;
            len = l;
        }
        if (payload.size() - pos < len) break;
        out.push_back(payload.substr(pos, len));
        pos += len;
    }
    return out;
}

// One row's properties: the columns its source lists or keeps first, then the stored record,
// opened at the first look past them (a count or a snapshot often asks for those alone).
class RowView {
public:
    explicit RowView(const RowSource& source) : m_source(&source) {}
    void Reset(const TableRow& row) {
        m_row = &row;
        m_bytes = row.hasRecord ? std::optional<std::string_view>(row.blob) : std::nullopt;
        m_opened = false;
        m_kept = 0;
    }
    // The row with its record's bytes read apart from it (valid until the next Reset).
    void Reset(const TableRow& row, std::string_view record) {
        Reset(row);
        m_bytes = record;
    }
    // Finds a property by id; false when absent.
    bool Find(ULONG id, ULONG& type, std::string_view& payload, bool& outOfLine, std::uint64_t& size) const {
        switch (FindBeside(id, true, type, payload)) {
            case ColumnState::Value:
                outOfLine = false;
                size = payload.size();
                return true;
            case ColumnState::Absent:
                return false;
            case ColumnState::InRecord:
                break;
        }
        Open();
        PropRef r;
        if (!m_record.Find(id, r)) return false;
        type = PROP_TYPE(r.tag);
        payload = r.payload;
        outOfLine = r.outOfLine;
        size = r.size;
        return true;
    }
    // Finds a property among the values listed with the row and (when `mayKeep`: the source
    // may keep or compute it) those its source keeps; InRecord when only the record can tell.
    ColumnState FindBeside(ULONG id, bool mayKeep, ULONG& type, std::string_view& payload) const {
        assert(m_row && "a view is Reset to a row before it is read");
        for (const auto& [tag, p] : m_row->extra) {
            if (PROP_ID(tag) == id) {
                type = PROP_TYPE(tag);
                payload = p;
                return ColumnState::Value;
            }
        }
        // What the source may not keep, it never gives (the plan's shortcut relies on it).
        assert(mayKeep || m_source->Kept(*m_row, id, nullptr, nullptr) == ColumnState::InRecord);
        if (!mayKeep) return ColumnState::InRecord;
        // A kept value's payload stays in a buffer of its own until the next Reset.
        if (m_kept == m_keptValues.size()) m_keptValues.emplace_back();
        const ColumnState state = m_source->Kept(*m_row, id, &type, &m_keptValues[m_kept]);
        if (state == ColumnState::Value) payload = m_keptValues[m_kept++];
        return state;
    }
    // Whether the row lists values of its own (else only its source's and its record's count).
    bool Listed() const noexcept { return !m_row->extra.empty(); }
    // The stored record, opened (empty when damaged or missing).
    const RecordView& Record() const {
        Open();
        return m_record;
    }
    template <class F>
    void ForEach(F&& f) const {
        for (const auto& [tag, p] : m_row->extra) f(tag);
        std::vector<ULONG> kept;
        m_source->KeptTags(*m_row, kept);
        for (ULONG tag : kept) f(tag);
        Open();
        for (std::size_t i = 0; i < m_record.Count(); ++i) f(m_record.At(i).tag);
    }

private:
    // A damaged record, or none, shows no stored values.
    void Open() const {
        if (m_opened) return;
        if (!m_bytes || !m_record.Open(*m_bytes)) m_record = RecordView();
        m_opened = true;
    }

    const RowSource* m_source;
    const TableRow* m_row = nullptr;
    std::optional<std::string_view> m_bytes;  // the record's, when the row has one
    mutable RecordView m_record;
    mutable bool m_opened = false;
    // A deque: a payload handed out is a view into its buffer, and growing a deque moves no
    // element (a vector's growth would move short strings' bytes and leave the views dangling).
    mutable std::deque<std::string> m_keptValues;
    mutable std::size_t m_kept = 0;
};

bool Eval(const Res& r, const RowView& row) {
    ULONG type;
    std::string_view payload;
    bool outOfLine;
    std::uint64_t size;
    switch (r.rt) {
        case RES_AND:
            for (const auto& k : r.kids)
                if (!Eval(k, row)) return false;
            return true;
        case RES_OR:
            for (const auto& k : r.kids)
                if (Eval(k, row)) return true;
            return false;
        case RES_NOT:
            assert(r.kids.size() == 1 && "CopyRes gives a NOT exactly one restriction");
            return !Eval(r.kids[0], row);
        case RES_COMMENT:
            assert(r.kids.size() <= 1 && "CopyRes gives a COMMENT at most one restriction");
            return r.kids.empty() || Eval(r.kids[0], row);
        case RES_EXIST:
            return row.Find(PROP_ID(r.tag), type, payload, outOfLine, size);
        case RES_SIZE: {
            if (!row.Find(PROP_ID(r.tag), type, payload, outOfLine, size)) return false;
            std::uint64_t n = size + (type == PT_UNICODE ? 2 : 0);
            return Relate(r.relop, n < r.cb ? -1 : (n > r.cb ? 1 : 0));
        }
        case RES_BITMASK: {
            if (!row.Find(PROP_ID(r.tag), type, payload, outOfLine, size) || type != PT_LONG ||
                payload.size() != 4)
                return false;
            ULONG v;
            std::memcpy(&v, payload.data(), 4);
            return r.relop == BMR_EQZ ? (v & r.mask) == 0 : (v & r.mask) != 0;
        }
        case RES_COMPAREPROPS: {
            ULONG t2;
            std::string_view p2;
            bool o2;
            std::uint64_t s2;
            if (!row.Find(PROP_ID(r.tag), type, payload, outOfLine, size) ||
                !row.Find(PROP_ID(r.tag2), t2, p2, o2, s2) || type != t2 || outOfLine || o2)
                return false;
            return Relate(r.relop, ComparePayload(type, payload, p2, true));
        }
        case RES_PROPERTY:
        case RES_CONTENT: {
            if (!row.Find(PROP_ID(r.tag), type, payload, outOfLine, size) || outOfLine) return false;
            auto test = [&](ULONG t, std::string_view p) {
                if (r.rt == RES_CONTENT) return ContentMatch(r.fuzzy, t, p, r.value.payload);
                return Relate(r.relop, ComparePayload(t, p, r.value.payload, true));
            };
            if (type == r.value.type) {
                if (!(type & MV_FLAG)) return test(type, payload);
                return payload == r.value.payload;
            }
            // A multi-valued property matches when one of its values does.
            if ((type & MV_FLAG) && (type & ~MV_FLAG) == r.value.type) {
                for (auto e : Elements(type, payload))
                    if (test(r.value.type, e)) return true;
            }
            return false;
        }
        default:
            return false;
    }
}

// The message class key every row a restriction keeps must have: an equality on the message class
// at its top or in a top-level AND (`exact` when it is that equality alone); nullopt when the
// restriction asks no such thing, or a class that has no key.
std::optional<std::string> RequiredClassKey(const Res& r, bool& exact) {
    exact = false;
    if (r.rt == RES_PROPERTY && r.relop == RELOP_EQ && PROP_ID(r.tag) == PROP_ID(PR_MESSAGE_CLASS_W) &&
        r.value.type == PT_UNICODE) {
        exact = true;
        return MessageClassKey(r.value.payload);
    }
    if (r.rt == RES_AND) {
        for (const Res& k : r.kids) {
            bool kidExact;
            if (auto key = RequiredClassKey(k, kidExact); key && kidExact) return key;
        }
    }
    return std::nullopt;
}

// A source of rows a loader makes (the session's, a message's and the profile tables).
class ListSource final : public RowSource {
public:
    ListSource(std::mutex* storeMutex, RowLoader loader)
        : m_storeMutex(storeMutex), m_loader(std::move(loader)) {}
    std::mutex* StoreMutex() override { return m_storeMutex; }
    std::vector<TableRow> Load(const std::optional<std::string>&, bool) override { return m_loader(); }

private:
    std::mutex* m_storeMutex;
    RowLoader m_loader;
};

class TableObj final : public ComBase<IMAPITable> {
public:
    TableObj(std::unique_ptr<RowSource> source, std::vector<ULONG> columns, bool unicode)
        : m_source(std::move(source)), m_columns(std::move(columns)), m_unicode(unicode) {
        // SetColumns keeps it so: a row is never empty nor wider than kMaxColumns.
        assert(!m_columns.empty() && m_columns.size() <= kMaxColumns);
        WithStore([&] { m_source->HoldSnapshot(true); });
    }
    ~TableObj() override {
        try {
            WithStore([&] { m_source->HoldSnapshot(false); });
        } catch (...) {
            // Ending a read transaction fails only with the connection; nothing to do here.
        }
    }

    bool Supports(const IID& iid) const override { return iid == IID_IUnknown || iid == IID_IMAPITable; }

    HRESULT STDMETHODCALLTYPE GetLastError(HRESULT, ULONG, LPMAPIERROR* err) override {
        if (!err) return MAPI_E_INVALID_PARAMETER;
        *err = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Advise(ULONG, LPMAPIADVISESINK, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE Unadvise(ULONG) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE GetStatus(ULONG* status, ULONG* type) override {
        if (!status || !type) return MAPI_E_INVALID_PARAMETER;
        *status = TBLSTAT_COMPLETE;
        *type = TBLTYPE_SNAPSHOT;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetColumns(LPSPropTagArray tags, ULONG) override {
        return Guarded([&]() -> HRESULT {
            if (!tags || tags->cValues == 0 || tags->cValues > kMaxColumns) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            m_columns.assign(tags->aulPropTag, tags->aulPropTag + tags->cValues);
            m_planned = false;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryColumns(ULONG flags, LPSPropTagArray* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            std::lock_guard lock(m_lock);
            std::vector<ULONG> cols = m_columns;
            if (flags & TBL_ALL_COLUMNS) {
                EnsureLoaded();
                RowView view(*m_source);
                for (std::size_t i = 0; i < m_rows.size(); ++i) {
                    EnsureRecord(i);
                    const TableRow& row = m_rows[i];
                    view.Reset(row);
                    view.ForEach([&](ULONG tag) {
                        if (std::none_of(cols.begin(), cols.end(),
                                         [&](ULONG c) { return PROP_ID(c) == PROP_ID(tag); }))
                            cols.push_back(tag);
                    });
                }
            }
            auto* arr = static_cast<LPSPropTagArray>(AllocOrThrow(CbNewSPropTagArray(cols.size())));
            arr->cValues = static_cast<ULONG>(cols.size());
            std::copy(cols.begin(), cols.end(), arr->aulPropTag);
            *out = arr;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetRowCount(ULONG, ULONG* count) override {
        return Guarded([&]() -> HRESULT {
            if (!count) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            EnsureLoaded();
            *count = static_cast<ULONG>(m_order.size());
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SeekRow(BOOKMARK origin, LONG count, LONG* sought) override {
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(m_lock);
            if (origin == BOOKMARK_BEGINNING) m_loaded = false;  // rewinding reads the store again
            EnsureLoaded();
            long long base;
            if (origin == BOOKMARK_BEGINNING) {
                base = 0;
            } else if (origin == BOOKMARK_CURRENT) {
                base = static_cast<long long>(m_pos);
            } else if (origin == BOOKMARK_END) {
                base = static_cast<long long>(m_order.size());
            } else {
                auto it = m_bookmarks.find(origin);
                if (it == m_bookmarks.end()) return MAPI_E_INVALID_BOOKMARK;
                base = static_cast<long long>(std::min(it->second, m_order.size()));
            }
            long long target = std::clamp<long long>(base + count, 0, static_cast<long long>(m_order.size()));
            if (sought) *sought = static_cast<LONG>(target - base);
            MoveTo(static_cast<std::size_t>(target));
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE SeekRowApprox(ULONG num, ULONG den) override {
        return Guarded([&]() -> HRESULT {
            if (den == 0 || num > den) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            EnsureLoaded();
            MoveTo(static_cast<std::size_t>(static_cast<unsigned long long>(m_order.size()) * num / den));
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryPosition(ULONG* row, ULONG* num, ULONG* den) override {
        return Guarded([&]() -> HRESULT {
            if (!row || !num || !den) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            EnsureLoaded();
            *row = static_cast<ULONG>(m_pos);
            *num = static_cast<ULONG>(m_pos);
            *den = static_cast<ULONG>(std::max<std::size_t>(m_order.size(), 1));
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE FindRow(LPSRestriction res, BOOKMARK origin, ULONG flags) override {
        return Guarded([&]() -> HRESULT {
            Res r = CopyRes(res, 0);
            std::lock_guard lock(m_lock);
            EnsureLoaded();
            std::size_t start = origin == BOOKMARK_BEGINNING ? 0
                                : origin == BOOKMARK_END     ? m_order.size()
                                                             : m_pos;
            if (origin > BOOKMARK_END) {
                auto it = m_bookmarks.find(origin);
                if (it == m_bookmarks.end()) return MAPI_E_INVALID_BOOKMARK;
                start = std::min(it->second, m_order.size());
            }
            RowView view(*m_source);
            if (flags & DIR_BACKWARD) {
                for (std::size_t i = start; i-- > 0;) {
                    EnsureRecord(m_order[i]);
                    view.Reset(m_rows[m_order[i]]);
                    if (Eval(r, view)) {
                        MoveTo(i);
                        return S_OK;
                    }
                }
            } else {
                for (std::size_t i = start; i < m_order.size(); ++i) {
                    EnsureRecord(m_order[i]);
                    view.Reset(m_rows[m_order[i]]);
                    if (Eval(r, view)) {
                        MoveTo(i);
                        return S_OK;
                    }
                }
            }
            return MAPI_E_NOT_FOUND;
        });
    }

    HRESULT STDMETHODCALLTYPE Restrict(LPSRestriction res, ULONG) override {
        return Guarded([&]() -> HRESULT {
            std::optional<Res> r;
            if (res) r = CopyRes(res, 0);
            std::lock_guard lock(m_lock);
            m_restriction = std::move(r);
            m_loaded = false;
            m_pos = 0;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CreateBookmark(BOOKMARK* bk) override {
        return Guarded([&]() -> HRESULT {
            if (!bk) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            assert(m_nextBookmark > BOOKMARK_END &&
                   "a bookmark made here is never one of the three fixed ones");
            *bk = m_nextBookmark++;
            m_bookmarks[*bk] = m_pos;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE FreeBookmark(BOOKMARK bk) override {
        std::lock_guard lock(m_lock);
        if (bk <= BOOKMARK_END) return S_OK;
        return m_bookmarks.erase(bk) ? S_OK : MAPI_E_INVALID_BOOKMARK;
    }

    HRESULT STDMETHODCALLTYPE SortTable(LPSSortOrderSet sort, ULONG) override {
        return Guarded([&]() -> HRESULT {
            if (!sort) return MAPI_E_INVALID_PARAMETER;
            if (sort->cCategories > 0) return MAPI_E_TOO_COMPLEX;
            if (sort->cSorts > kMaxColumns) return MAPI_E_TOO_COMPLEX;
            std::vector<SSortOrder> keys(sort->aSort, sort->aSort + sort->cSorts);
            for (const auto& k : keys)
                if (k.ulOrder != TABLE_SORT_ASCEND && k.ulOrder != TABLE_SORT_DESCEND)
                    return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            m_sort = std::move(keys);
            m_loaded = false;
            m_pos = 0;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QuerySortOrder(LPSSortOrderSet* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            std::lock_guard lock(m_lock);
            auto* s = static_cast<LPSSortOrderSet>(AllocOrThrow(CbNewSSortOrderSet(m_sort.size())));
            s->cSorts = static_cast<ULONG>(m_sort.size());
            std::copy(m_sort.begin(), m_sort.end(), s->aSort);
            *out = s;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryRows(LONG count, ULONG flags, LPSRowSet* out) override {
        return Guarded([&]() -> HRESULT {
            if (!out) return MAPI_E_INVALID_PARAMETER;
            *out = nullptr;
            std::lock_guard lock(m_lock);
            EnsureLoaded();
            std::size_t from, to;
            if (count >= 0) {
                from = m_pos;
                to = std::min(m_order.size(), m_pos + static_cast<std::size_t>(count));
            } else {
                to = m_pos;
                std::size_t back = static_cast<std::size_t>(-static_cast<long long>(count));
                from = m_pos > back ? m_pos - back : 0;
            }
            *out = Project(from, to);
            if (!(flags & TBL_NOADVANCE)) MoveTo(count >= 0 ? to : from);
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE Abort() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ExpandRow(ULONG, LPBYTE, ULONG, ULONG, LPSRowSet*, ULONG*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE CollapseRow(ULONG, LPBYTE, ULONG, ULONG*) override { return MAPI_E_NO_SUPPORT; }
    HRESULT STDMETHODCALLTYPE WaitForCompletion(ULONG, ULONG, ULONG* status) override {
        if (status) *status = TBLSTAT_COMPLETE;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetCollapseState(ULONG, ULONG, LPBYTE, ULONG*, LPBYTE*) override {
        return MAPI_E_NO_SUPPORT;
    }
    HRESULT STDMETHODCALLTYPE SetCollapseState(ULONG, ULONG, LPBYTE, BOOKMARK*) override {
        return MAPI_E_NO_SUPPORT;
    }

private:
    template <class F>
    void WithStore(F&& f) {
        if (std::mutex* m = m_source->StoreMutex()) {
            std::lock_guard lock(*m);
            f();
        } else {
            f();
        }
    }

    // A table's reads of one call share the store's snapshot (Storage::BeginTableRead).
    struct TableRead {
        TableObj& t;
        explicit TableRead(TableObj& table) : t(table) {
            t.WithStore([&] { t.m_source->TableRead(true); });
        }
        ~TableRead() {
            t.WithStore([&] { t.m_source->TableRead(false); });
        }
    };

    void EnsureLoaded() {
        if (m_loaded) return;
        // The rows a restriction keeps by their class alone come from the source already kept
        // (the count's and the snapshot's tables: no record read); any other restriction or a
        // sort order is judged on every row's record.
        bool exact = false;
        m_classKey = m_restriction ? RequiredClassKey(*m_restriction, exact) : std::nullopt;
        if (!m_source->ReadsKeys()) m_classKey.reset();
        const bool records =
            !m_source->ReadsKeys() || (m_restriction && !(m_classKey && exact)) || !m_sort.empty();
        WithStore([&] {
            m_source->RefreshSnapshot();  // a table read anew sees the store as it is now
            m_source->TableRead(true);
            try {
                m_rows = m_source->Load(m_classKey, records);
            } catch (...) {
                m_source->TableRead(false);
                throw;
            }
            m_source->TableRead(false);
        });
        m_order.clear();
        m_order.reserve(m_rows.size());
        RowView view(*m_source);
        for (std::size_t i = 0; i < m_rows.size(); ++i) {
            if (m_restriction && !(exact && m_rows[i].classMatched)) {
                EnsureRecord(i);
                view.Reset(m_rows[i]);
                if (!Eval(*m_restriction, view)) continue;
            }
            m_order.push_back(i);
        }
        if (!m_sort.empty()) SortRows();
        m_loaded = true;
        if (m_pos > m_order.size()) m_pos = m_order.size();
        assert(Consistent());
    }

    // Reads the record of row i when the source left it out.
    void EnsureRecord(std::size_t i) {
        if (m_rows[i].hasRecord) return;
        std::vector<TableRow*> one = {&m_rows[i]};
        WithStore([&] { m_source->FetchRecords(m_classKey, one); });
    }

    // Whether projecting a row takes its record: a column neither listed nor kept.
    bool NeedsRecord(const TableRow& row) const {
        assert(m_planned);
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            const ULONG id = PROP_ID(m_columns[i]);
            if (std::any_of(row.extra.begin(), row.extra.end(),
                            [id](const auto& e) { return PROP_ID(e.first) == id; }))
                continue;
            if (!m_plan.mayKeep[i] || m_source->Kept(row, id, nullptr, nullptr) == ColumnState::InRecord)
                return true;
        }
        return false;
    }

    // How the columns are found, made once per column set rather than per row: which ones the
    // source may keep, and the columns in id order, for one walk of each record's index.
    void PlanColumns() {
        if (m_planned) return;
        m_plan.mayKeep.resize(m_columns.size());
        m_plan.byId.resize(m_columns.size());
        m_plan.kept.clear();
        for (std::size_t i = 0; i < m_columns.size(); ++i) {
            m_plan.mayKeep[i] = m_source->MayKeep(PROP_ID(m_columns[i]));
            if (m_plan.mayKeep[i]) m_plan.kept.push_back(static_cast<std::uint32_t>(i));
            m_plan.byId[i] = {m_columns[i], static_cast<std::uint32_t>(i)};
        }
        std::stable_sort(
            m_plan.byId.begin(), m_plan.byId.end(),
            [](const PlannedColumn& a, const PlannedColumn& b) { return PROP_ID(a.tag) < PROP_ID(b.tag); });
        m_plan.inRecord.resize(m_columns.size());
        m_plan.out.resize(m_columns.size());
        m_planned = true;
    }

    // The cursor moves only inside the rows in view (a position one past the last is the end).
    void MoveTo(std::size_t pos) {
        assert(m_loaded && pos <= m_order.size() && "the cursor stays within the table");
        m_pos = pos;
    }

    // The rows in view are distinct rows that were loaded, and the cursor is within them.
    bool Consistent() const {
        if (m_order.size() > m_rows.size() || m_pos > m_order.size()) return false;
        std::vector<bool> seen(m_rows.size());
        for (std::size_t i : m_order) {
            if (i >= m_rows.size() || seen[i]) return false;
            seen[i] = true;
        }
        return true;
    }

    void SortRows() {
        RowView a(*m_source), b(*m_source);
        std::stable_sort(m_order.begin(), m_order.end(), [&](std::size_t x, std::size_t y) {
            a.Reset(m_rows[x]);
            b.Reset(m_rows[y]);
            for (const auto& key : m_sort) {
                ULONG ta, tb;
                std::string_view pa, pb;
                bool oa, ob;
                std::uint64_t sa, sb;
                bool ha = a.Find(PROP_ID(key.ulPropTag), ta, pa, oa, sa);
                bool hb = b.Find(PROP_ID(key.ulPropTag), tb, pb, ob, sb);
                int c;
                if (ha != hb) {
                    c = ha ? 1 : -1;  // a missing value sorts first
                } else if (!ha || ta != tb) {
                    c = 0;
                } else {
                    c = ComparePayload(ta, pa, pb, true);
                }
                if (key.ulOrder == TABLE_SORT_DESCEND) c = -c;
                if (c) return c < 0;
            }
            return false;
        });
    }

    LPSRowSet Project(std::size_t from, std::size_t to) {
        assert(from <= to && to <= m_order.size() && "rows are projected from within the table");
        std::size_t n = to > from ? to - from : 0;
        // Zero-filled: a row not projected yet has no values to free.
        auto* set = static_cast<LPSRowSet>(AllocOrThrow(CbNewSRowSet(std::max<std::size_t>(n, 1))));
        set->cRows = 0;
        PlanColumns();
        try {
            RowView view(*m_source);
            std::vector<std::pair<TableRow*, std::size_t>> missing;  // row, its place in the set
            std::vector<TableRow*> fetch;
            const TableRead reading(*this);
            // Records the source left out are read a batch at a time and each row projected
            // straight from its record's bytes as the source reads them, so a table of any size
            // holds no records and copies none.
            for (std::size_t chunk = from; chunk < to; chunk += kFetchBatch) {
                const std::size_t end = std::min(to, chunk + kFetchBatch);
                missing.clear();
                for (std::size_t i = chunk; i < end; ++i) {
                    TableRow& row = m_rows[m_order[i]];
                    if (!row.hasRecord && NeedsRecord(row)) {
                        missing.emplace_back(&row, i - from);
                        continue;
                    }
                    view.Reset(row);
                    ProjectRow(view, set->aRow[i - from]);
                }
                if (missing.empty()) continue;
                // The source reads in key order (a sorted table's rows are in another).
                const auto byKey = [](const auto& a, const auto& b) { return a.first->key < b.first->key; };
                if (!std::is_sorted(missing.begin(), missing.end(), byKey))
                    std::sort(missing.begin(), missing.end(), byKey);
                fetch.clear();
                for (const auto& m : missing) fetch.push_back(m.first);
                std::size_t next = 0;
                // Rows whose object is gone show what they keep, and no stored value.
                const auto projectUpTo = [&](const TableRow* row) {
                    for (; next < missing.size() && missing[next].first != row; ++next) {
                        view.Reset(*missing[next].first);
                        ProjectRow(view, set->aRow[missing[next].second]);
                    }
                };
                WithStore([&] {
                    m_source->ReadRecords(m_classKey, fetch, [&](TableRow& row, std::string_view record) {
                        projectUpTo(&row);
                        assert(next < missing.size() && "the source hands out the rows asked, in order");
                        view.Reset(row, record);
                        ProjectRow(view, set->aRow[missing[next].second]);
                        ++next;
                    });
                });
                projectUpTo(nullptr);
            }
            set->cRows = static_cast<ULONG>(n);
        } catch (...) {
            for (std::size_t i = 0; i < n; ++i) FreeBuffer(set->aRow[i].lpProps);
            FreeBuffer(set);
            throw;
        }
        return set;
    }

    void ProjectRow(const RowView& view, SRow& row) {
        assert(m_planned && m_plan.out.size() == m_columns.size());
        // First what the row lists or its source keeps (the plan knows which columns those may
        // be), then the rest in one walk of the record.
        std::fill(m_plan.inRecord.begin(), m_plan.inRecord.end(), std::uint8_t{1});
        m_plan.owned.clear();
        // A row that lists no values of its own can give beside its record only what its source
        // keeps: the plan's short list instead of every column.
        const bool listed = view.Listed();
        bool fromRecord = !listed && m_plan.kept.size() < m_columns.size();
        const std::size_t besides = listed ? m_columns.size() : m_plan.kept.size();
        for (std::size_t k = 0; k < besides; ++k) {
            const std::size_t i = listed ? k : m_plan.kept[k];
            const ULONG col = m_columns[i];
            ULONG type;
            std::string_view payload;
            switch (view.FindBeside(PROP_ID(col), m_plan.mayKeep[i], type, payload)) {
                case ColumnState::Value:
                    m_plan.out[i] = StoredAnswer(PROP_TYPE(col), PROP_ID(col), type, payload, payload.size(),
                                                 m_unicode, m_plan.owned);
                    m_plan.inRecord[i] = false;
                    break;
                case ColumnState::Absent:
                    m_plan.out[i] = ErrorAnswer(PROP_ID(col), MAPI_E_NOT_FOUND);
                    m_plan.inRecord[i] = false;
                    break;
                case ColumnState::InRecord:
                    fromRecord = true;
                    break;
            }
        }
        if (fromRecord) {
            const RecordView& record = view.Record();
            std::size_t cursor = 0;
            // Locals, so that the loop keeps them in registers while it writes the answers.
            OutValue* const out = m_plan.out.data();
            const std::uint8_t* const inRecord = m_plan.inRecord.data();
            std::deque<std::string>& owned = m_plan.owned;
            const bool unicode = m_unicode;
            for (const PlannedColumn& c : m_plan.byId) {
                if (!inRecord[c.pos]) continue;
                PropRef r;
                if (!record.FindFrom(PROP_ID(c.tag), cursor, r)) {
                    out[c.pos] = ErrorAnswer(PROP_ID(c.tag), MAPI_E_NOT_FOUND);
                    continue;
                }
                // A value kept out of line is too large for a row, whatever its size says.
                out[c.pos] = StoredAnswer(PROP_TYPE(c.tag), PROP_ID(c.tag), PROP_TYPE(r.tag), r.payload,
                                          r.outOfLine ? kMaxValueSize : r.size, unicode, owned);
            }
        }
        // Every column gives one value, found or an error: a row is as wide as the column set.
        row.ulAdrEntryPad = 0;
        row.cValues = static_cast<ULONG>(m_plan.out.size());
        row.lpProps = BuildPropArray(m_plan.out);
    }

    static constexpr std::size_t kFetchBatch = 256;

    std::mutex m_lock;
    std::unique_ptr<RowSource> m_source;
    std::vector<ULONG> m_columns;
    struct PlannedColumn {
        ULONG tag;          // as asked
        std::uint32_t pos;  // in the column set
    };
    struct ColumnPlan {
        std::vector<std::uint8_t> mayKeep;  // per column: the source may keep or compute it
        std::vector<std::uint32_t> kept;    // the columns it may keep, in column order
        std::vector<PlannedColumn> byId;    // the columns in ascending property id
        // Per column, reused row after row: whether the record is still to tell, and the answer.
        std::vector<std::uint8_t> inRecord;
        std::vector<OutValue> out;
        std::deque<std::string> owned;  // the row's 8-bit texts
    };
    ColumnPlan m_plan;
    bool m_planned = false;  // m_plan is that of m_columns
    bool m_unicode;
    std::optional<Res> m_restriction;
    std::optional<std::string> m_classKey;  // the class the source filtered the rows by
    std::vector<SSortOrder> m_sort;
    std::vector<TableRow> m_rows;
    std::vector<std::size_t> m_order;
    bool m_loaded = false;
    std::size_t m_pos = 0;
    std::map<BOOKMARK, std::size_t> m_bookmarks;
    BOOKMARK m_nextBookmark = BOOKMARK_END + 1;
};

}  // namespace

IMAPITable* NewTable(std::mutex* storeMutex, RowLoader loader, std::vector<ULONG> defaultColumns,
                     bool unicode) {
    return NewTable(std::make_unique<ListSource>(storeMutex, std::move(loader)), std::move(defaultColumns),
                    unicode);
}

IMAPITable* NewTable(std::unique_ptr<RowSource> source, std::vector<ULONG> defaultColumns, bool unicode) {
    if (!unicode) {
        for (ULONG& c : defaultColumns) {
            if (PROP_TYPE(c) == PT_UNICODE) c = CHANGE_PROP_TYPE(c, PT_STRING8);
        }
    }
    return new TableObj(std::move(source), std::move(defaultColumns), unicode);
}

}  // namespace nx::mapi32
