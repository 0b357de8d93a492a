#include "platform/mapi32/Props.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <cstring>

#include "platform/mapi32/Memory.h"
#include "platform/system/CaseFold.h"
#include "platform/system/Utf.h"

static_assert(std::endian::native == std::endian::little, "payloads are kept in host order");

namespace nx::mapi32 {
namespace {

constexpr char kBlobMagic[4] = {'N', 'X', 'P', '2'};
constexpr char kBlobMagicV1[4] = {'N', 'X', 'P', '1'};
constexpr std::uint32_t kOutOfLine = RecordView::kOutOfLineLength;
constexpr std::size_t kIndexEntry = RecordView::kEntrySize;

// Element size of a fixed-size single-valued base type; 0 for variable ones, -1 for unknown.
int FixedSize(ULONG base) noexcept {
    switch (base) {
        case PT_I2:
        case PT_BOOLEAN:
            return 2;
        case PT_LONG:
        case PT_R4:
        case PT_ERROR:
            return 4;
        case PT_DOUBLE:
        case PT_APPTIME:
        case PT_CURRENCY:
        case PT_I8:
        case PT_SYSTIME:
            return 8;
        case PT_CLSID:
            return 16;
        case PT_BINARY:
        case PT_UNICODE:
        case PT_STRING8:
            return 0;
        default:
            return -1;
    }
}

bool IsMvBase(ULONG base) noexcept {
    switch (base) {
        case PT_I2:
        case PT_LONG:
        case PT_R4:
        case PT_DOUBLE:
        case PT_CURRENCY:
        case PT_APPTIME:
        case PT_I8:
        case PT_SYSTIME:
        case PT_CLSID:
        case PT_BINARY:
        case PT_UNICODE:
        case PT_STRING8:
            return true;
        default:
            return false;
    }
}

std::uint32_t ReadU32(const char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
void PutU32(std::string& s, std::uint32_t v) {
    s.append(reinterpret_cast<const char*>(&v), 4);
}
template <class T>
T ReadAs(std::string_view p) noexcept {
    T v{};
    std::memcpy(&v, p.data(), std::min(sizeof(T), p.size()));
    return v;
}
template <class T>
std::string Raw(const T& v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof(T));
}

std::size_t Align8(std::size_t n) noexcept {
    return (n + 7) & ~std::size_t{7};
}

// Walks the elements of a multi-valued payload; f(elementBytes) for each. False when malformed.
template <class F>
bool ForEachElement(ULONG mvType, std::string_view payload, F&& f) {
    ULONG base = mvType & ~MV_FLAG;
    if (payload.size() < 4) return false;
    std::uint32_t count = ReadU32(payload.data());
    std::size_t pos = 4;
    int fixed = FixedSize(base);
    if (fixed < 0) return false;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (fixed > 0) {
            if (payload.size() - pos < static_cast<std::size_t>(fixed)) return false;
            f(payload.substr(pos, fixed));
            pos += fixed;
        } else {
            if (payload.size() - pos < 4) return false;
            std::uint32_t len = ReadU32(payload.data() + pos);
            pos += 4;
            if (payload.size() - pos < len) return false;
            f(payload.substr(pos, len));
            pos += len;
        }
    }
    return pos == payload.size();
}

std::string U16ToUtf8Payload(std::string_view payload) {
    return nx::sys::Utf16ToUtf8(PayloadToU16(payload));
}

}  // namespace

bool IsStorableType(ULONG type) noexcept {
    if (type & MV_FLAG) {
        if (type & ~(MV_FLAG | 0xFFFu)) return false;
        ULONG base = type & ~MV_FLAG;
        return IsMvBase(base) && base != PT_STRING8;
    }
    // Error values are answers, never stored.
    return FixedSize(type) >= 0 && type != PT_STRING8 && type != PT_ERROR;
}

ULONG StorageType(ULONG type) noexcept {
    if (type == PT_STRING8) return PT_UNICODE;
    if (type == PT_MV_STRING8) return PT_MV_UNICODE;
    return type;
}

bool ValidPayloadOfOtherType(ULONG type, std::string_view payload) noexcept {
    if (!IsStorableType(type)) return false;
    if (type & MV_FLAG) {
        ULONG base = type & ~MV_FLAG;
        bool ok = true;
        bool r = ForEachElement(type, payload, [&](std::string_view e) {
            if (base == PT_UNICODE && (e.size() % 2) != 0) ok = false;
        });
        return r && ok;
    }
    int fixed = FixedSize(type);
    if (type == PT_BOOLEAN)
        return payload.size() == 2 && payload[1] == 0 && (payload[0] == 0 || payload[0] == 1);
    if (fixed > 0) return payload.size() == static_cast<std::size_t>(fixed);
    if (type == PT_UNICODE) return payload.size() % 2 == 0;
    return true;  // PT_BINARY
}

std::string EncodeBlob(const PropMap& props) {
    const auto inlined = [](const StoredValue& v) {
        return !v.outOfLine && v.payload.size() <= kInlineLimit;
    };
    // The record's size: magic and count, the index, then per value its payload or the u64 size
    // of a value kept out of line.
    const std::size_t head = 8 + kIndexEntry * props.size();
    std::size_t bytes = head;
    for (const auto& [id, v] : props) bytes += inlined(v) ? v.payload.size() : 8;
    // Offsets are 32-bit: a record holds at most the inline limit per value.
    assert(bytes <= 0xFFFFFFFFu);
    std::string out;
    out.resize(bytes);
    char* index = out.data();
    std::memcpy(index, kBlobMagic, 4);
    const auto put = [](char* at, std::uint32_t v) { std::memcpy(at, &v, 4); };
    put(index + 4, static_cast<std::uint32_t>(props.size()));
    index += 8;
    std::size_t pos = head;
    for (const auto& [id, v] : props) {
        // What ParseBlob refuses is never written: id 0, a value over the size limit.
        assert(id != 0 && v.Size() <= kMaxValueSize);
        put(index, PROP_TAG(v.type, id));
        put(index + 4, static_cast<std::uint32_t>(pos));
        if (!inlined(v)) {
            put(index + 8, kOutOfLine);
            const std::uint64_t size = v.Size();
            std::memcpy(out.data() + pos, &size, 8);
            pos += 8;
        } else {
            put(index + 8, static_cast<std::uint32_t>(v.payload.size()));
            if (!v.payload.empty()) std::memcpy(out.data() + pos, v.payload.data(), v.payload.size());
            pos += v.payload.size();
        }
        index += kIndexEntry;
    }
    assert(pos == bytes);
    return out;
}

bool RecordView::Open(std::string_view record) noexcept {
    m_record = {};
    m_count = 0;
    if (record.size() < 8 || std::memcmp(record.data(), kBlobMagic, 4) != 0) return false;
    const std::uint32_t count = ReadU32(record.data() + 4);
    if (count > (record.size() - 8) / kIndexEntry) return false;
    // The payloads follow the index in its order, each where the one before ended, the last
    // ending the record: a record has exactly one valid layout.
    std::size_t pos = 8 + std::size_t{kIndexEntry} * count;
    ULONG lastId = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        const char* e = record.data() + 8 + std::size_t{kIndexEntry} * i;
        const ULONG tag = ReadU32(e);
        const ULONG id = PROP_ID(tag);
        if (id == 0 || id <= lastId || ReadU32(e + 4) != pos) return false;
        lastId = id;
        const std::uint32_t len = ReadU32(e + 8);
        if (len == kOutOfLine) {
            if (!IsStorableType(PROP_TYPE(tag)) || record.size() - pos < 8) return false;
            std::uint64_t size;
            std::memcpy(&size, record.data() + pos, 8);
            if (size > kMaxValueSize) return false;
            pos += 8;
        } else {
            if (record.size() - pos < len) return false;
            if (!ValidPayload(PROP_TYPE(tag), record.substr(pos, len))) return false;  // the type's check too
            pos += len;
        }
    }
    if (pos != record.size()) return false;
    m_record = record;
    m_count = count;
    return true;
}

bool RecordView::Find(ULONG id, PropRef& out) const noexcept {
    // Open checked that the index is sorted by id.
    std::size_t lo = 0, hi = m_count;
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        const ULONG at = PROP_ID(ReadU32(m_record.data() + 8 + kIndexEntry * mid));
        if (at == id) {
            out = At(mid);
            return true;
        }
        if (at < id) {
            lo = mid + 1;
        } else {
            hi = mid;
        }
    }
    return false;
}

HRESULT ParseBlob(std::string_view blob, std::vector<PropRef>& out) {
    out.clear();
    RecordView view;
    if (!view.Open(blob)) return MAPI_E_CORRUPT_DATA;
    out.reserve(view.Count());
    for (std::size_t i = 0; i < view.Count(); ++i) out.push_back(view.At(i));
    return S_OK;
}

namespace {

HRESULT ToPropMap(const std::vector<PropRef>& refs, PropMap& out) {
    out.clear();
    for (const auto& r : refs) {
        StoredValue v;
        v.type = PROP_TYPE(r.tag);
        v.payload.assign(r.payload);
        v.outOfLine = r.outOfLine;
        v.size = r.size;
        out.emplace_hint(out.end(), static_cast<std::uint16_t>(PROP_ID(r.tag)), std::move(v));
    }
    return S_OK;
}

}  // namespace

HRESULT DecodeBlob(std::string_view blob, PropMap& out) {
    std::vector<PropRef> refs;
    HRESULT hr = ParseBlob(blob, refs);
    if (FAILED(hr)) return hr;
    return ToPropMap(refs, out);
}

HRESULT DecodeBlobV1(std::string_view blob, PropMap& out) {
    std::vector<PropRef> refs;
    if (blob.size() < 8 || std::memcmp(blob.data(), kBlobMagicV1, 4) != 0) return MAPI_E_CORRUPT_DATA;
    std::uint32_t count = ReadU32(blob.data() + 4);
    if (count > (blob.size() - 8) / 8) return MAPI_E_CORRUPT_DATA;
    refs.reserve(count);
    std::size_t pos = 8;
    std::uint32_t lastId = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (blob.size() - pos < 8) return MAPI_E_CORRUPT_DATA;
        ULONG tag = ReadU32(blob.data() + pos);
        std::uint32_t len = ReadU32(blob.data() + pos + 4);
        pos += 8;
        ULONG type = PROP_TYPE(tag);
        ULONG id = PROP_ID(tag);
        if (id == 0 || (i > 0 && id <= lastId)) return MAPI_E_CORRUPT_DATA;
        lastId = id;
        if (len == kOutOfLine) {
            if (!IsStorableType(type) || blob.size() - pos < 8) return MAPI_E_CORRUPT_DATA;
            std::uint64_t size;
            std::memcpy(&size, blob.data() + pos, 8);
            pos += 8;
            if (size > kMaxValueSize) return MAPI_E_CORRUPT_DATA;
            refs.push_back({tag, {}, true, size});
        } else {
            if (blob.size() - pos < len) return MAPI_E_CORRUPT_DATA;
            std::string_view payload = blob.substr(pos, len);
            pos += len;
            if (!ValidPayload(type, payload)) return MAPI_E_CORRUPT_DATA;  // the type's check too
            refs.push_back({tag, payload, false, len});
        }
    }
    if (pos != blob.size()) return MAPI_E_CORRUPT_DATA;
    return ToPropMap(refs, out);
}

std::u16string PayloadToU16(std::string_view payload) {
    std::u16string s(payload.size() / 2, u'\0');
    if (!s.empty()) std::memcpy(s.data(), payload.data(), s.size() * 2);
    return s;
}

std::string U16ToPayload(std::u16string_view text) {
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * 2);
}

std::string StringPayload(const char16_t* s) {
    std::size_t n = 0;
    while (s[n]) {
        ++n;
        if (n * 2 > kMaxValueSize) throw MapiError(MAPI_E_TOO_BIG);
    }
    return U16ToPayload(std::u16string_view(s, n));
}

std::string Utf8Payload(std::string_view utf8) {
    return U16ToPayload(nx::sys::Utf8ToUtf16(utf8));
}

std::string PayloadLong(LONG v) {
    return Raw(v);
}
std::string PayloadBool(bool v) {
    return Raw(static_cast<std::uint16_t>(v ? 1 : 0));
}
std::string PayloadI8(std::int64_t v) {
    return Raw(v);
}

namespace {

template <class Elem, class F>
std::string MvPayload(ULONG count, const Elem* items, F&& one) {
    if (count > 0 && !items) throw MapiError(MAPI_E_BAD_VALUE);
    std::string out;
    PutU32(out, count);
    for (ULONG i = 0; i < count; ++i) {
        std::string e = one(items[i]);
        if (out.size() + e.size() > kMaxValueSize) throw MapiError(MAPI_E_TOO_BIG);
        out += e;
    }
    return out;
}

std::string LengthPrefixed(std::string s) {
    std::string out;
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    return out + s;
}

}  // namespace

StoredValue FromSPropValue(const SPropValue& v) {
    ULONG type = PROP_TYPE(v.ulPropTag);
    StoredValue out;
    out.type = StorageType(type);
    const auto& pv = v.Value;
    switch (type) {
        case PT_I2:
            out.payload = Raw(pv.i);
            break;
        case PT_LONG:
            out.payload = Raw(pv.l);
            break;
        case PT_R4:
            out.payload = Raw(pv.flt);
            break;
        case PT_DOUBLE:
            out.payload = Raw(pv.dbl);
            break;
        case PT_APPTIME:
            out.payload = Raw(pv.at);
            break;
        case PT_CURRENCY:
            out.payload = Raw(pv.cur.int64);
            break;
        case PT_I8:
            out.payload = Raw(pv.li.QuadPart);
            break;
        case PT_SYSTIME:
            out.payload = Raw(pv.ft);
            break;
        case PT_BOOLEAN:
            out.payload = PayloadBool(pv.b != 0);
            break;
        case PT_CLSID:
            if (!pv.lpguid) throw MapiError(MAPI_E_BAD_VALUE);
            out.payload = Raw(*pv.lpguid);
            break;
        case PT_STRING8:
            if (!pv.lpszA) throw MapiError(MAPI_E_BAD_VALUE);
            out.payload = Utf8Payload(pv.lpszA);
            break;
        case PT_UNICODE:
            if (!pv.lpszW) throw MapiError(MAPI_E_BAD_VALUE);
            out.payload = StringPayload(pv.lpszW);
            break;
        case PT_BINARY:
            if (pv.bin.cb > 0 && !pv.bin.lpb) throw MapiError(MAPI_E_BAD_VALUE);
            if (pv.bin.cb > kMaxValueSize) throw MapiError(MAPI_E_TOO_BIG);
            out.payload.assign(reinterpret_cast<const char*>(pv.bin.lpb), pv.bin.cb);
            break;
        case PT_MV_I2:
            out.payload = MvPayload(pv.MVi.cValues, pv.MVi.lpi, [](short e) { return Raw(e); });
            break;
        case PT_MV_LONG:
            out.payload = MvPayload(pv.MVl.cValues, pv.MVl.lpl, [](LONG e) { return Raw(e); });
            break;
        case PT_MV_R4:
            out.payload = MvPayload(pv.MVflt.cValues, pv.MVflt.lpflt, [](float e) { return Raw(e); });
            break;
        case PT_MV_DOUBLE:
            out.payload = MvPayload(pv.MVdbl.cValues, pv.MVdbl.lpdbl, [](double e) { return Raw(e); });
            break;
        case PT_MV_APPTIME:
            out.payload = MvPayload(pv.MVat.cValues, pv.MVat.lpat, [](double e) { return Raw(e); });
            break;
        case PT_MV_CURRENCY:
            out.payload =
                MvPayload(pv.MVcur.cValues, pv.MVcur.lpcur, [](const CURRENCY& e) { return Raw(e.int64); });
            break;
        case PT_MV_I8:
            out.payload = MvPayload(pv.MVli.cValues, pv.MVli.lpli,
                                    [](const LARGE_INTEGER& e) { return Raw(e.QuadPart); });
            break;
        case PT_MV_SYSTIME:
            out.payload = MvPayload(pv.MVft.cValues, pv.MVft.lpft, [](const FILETIME& e) { return Raw(e); });
            break;
        case PT_MV_CLSID:
            out.payload =
                MvPayload(pv.MVguid.cValues, pv.MVguid.lpguid, [](const GUID& e) { return Raw(e); });
            break;
        case PT_MV_BINARY:
            out.payload = MvPayload(pv.MVbin.cValues, pv.MVbin.lpbin, [](const SBinary& e) {
                if (e.cb > 0 && !e.lpb) throw MapiError(MAPI_E_BAD_VALUE);
                if (e.cb > kMaxValueSize) throw MapiError(MAPI_E_TOO_BIG);
                return LengthPrefixed(std::string(reinterpret_cast<const char*>(e.lpb), e.cb));
            });
            break;
        case PT_MV_UNICODE:
            out.payload = MvPayload(pv.MVszW.cValues, pv.MVszW.lppszW, [](const LPWSTR e) {
                if (!e) throw MapiError(MAPI_E_BAD_VALUE);
                return LengthPrefixed(StringPayload(e));
            });
            break;
        case PT_MV_STRING8:
            out.payload = MvPayload(pv.MVszA.cValues, pv.MVszA.lppszA, [](const LPSTR e) {
                if (!e) throw MapiError(MAPI_E_BAD_VALUE);
                return LengthPrefixed(Utf8Payload(e));
            });
            break;
        default:
            throw MapiError(MAPI_E_INVALID_TYPE);
    }
    if (out.payload.size() > kMaxValueSize) throw MapiError(MAPI_E_TOO_BIG);
    return out;
}

std::string_view EightBitPayloadOf(ULONG outType, std::string_view payload, std::deque<std::string>& owned) {
    if (outType == PT_STRING8) return owned.emplace_back(U16ToUtf8Payload(payload));
    assert(outType == PT_MV_STRING8);
    std::vector<std::string> parts;
    ForEachElement(PT_MV_UNICODE, payload, [&](std::string_view e) { parts.push_back(U16ToUtf8Payload(e)); });
    std::string& out = owned.emplace_back();
    PutU32(out, static_cast<std::uint32_t>(parts.size()));
    for (auto& p : parts) out += LengthPrefixed(std::move(p));
    return out;
}

LPSPropValue BuildPropArray(std::span<const OutValue> items, void* parent) {
    // One buffer: the value array, then every pointed-to part, each 8-byte aligned.
    std::size_t extra = 0;
    for (const auto& it : items) {
        ULONG t = it.outType;
        if (t == PT_BINARY || t == PT_CLSID) {
            extra += Align8(it.payload.size());
        } else if (t == PT_UNICODE) {
            extra += Align8(it.payload.size() + 2);
        } else if (t == PT_STRING8) {
            extra += Align8(it.payload.size() + 1);
        } else if (t & MV_FLAG) {
            ULONG base = t & ~MV_FLAG;
            std::uint32_t count = it.payload.size() >= 4 ? ReadU32(it.payload.data()) : 0;
            if (base == PT_BINARY || base == PT_UNICODE || base == PT_STRING8) {
                extra += Align8(std::size_t{count} * (base == PT_BINARY ? sizeof(SBinary) : sizeof(void*)));
                ForEachElement(base == PT_STRING8 ? PT_MV_BINARY : t, it.payload, [&](std::string_view e) {
                    extra += Align8(e.size() + (base == PT_UNICODE ? 2 : base == PT_STRING8 ? 1 : 0));
                });
            } else {
                extra += Align8(it.payload.size() - 4);
            }
        }
    }
    std::size_t head = Align8(sizeof(SPropValue) * std::max<std::size_t>(items.size(), 1));
    // Only the value array is zero-filled: every part is written whole below, its terminator
    // included (a row set of 10,000 rows had spent a tenth of its time clearing its buffers).
    void* block = parent ? AllocMoreOrThrow(head + extra, parent) : AllocUnfilledOrThrow(head + extra);
    std::memset(block, 0, head);
    auto* values = static_cast<SPropValue*>(block);
    char* cursor = static_cast<char*>(block) + head;
    // n bytes, the last `terminator` of them zero.
    auto take = [&](std::size_t n, std::size_t terminator = 0) {
        assert(terminator <= n && cursor + Align8(n) <= static_cast<char*>(block) + head + extra);
        char* p = cursor;
        cursor += Align8(n);
        if (terminator) std::memset(p + n - terminator, 0, terminator);
        return p;
    };
    for (std::size_t i = 0; i < items.size(); ++i) {
        const OutValue& it = items[i];
        SPropValue& v = values[i];
        v.ulPropTag = it.tag;
        std::string_view p = it.payload;
        switch (it.outType) {
            case PT_ERROR:
                v.Value.err = it.err;
                break;
            case PT_I2:
                v.Value.i = ReadAs<short>(p);
                break;
            case PT_LONG:
                v.Value.l = ReadAs<LONG>(p);
                break;
            case PT_R4:
                v.Value.flt = ReadAs<float>(p);
                break;
            case PT_DOUBLE:
                v.Value.dbl = ReadAs<double>(p);
                break;
            case PT_APPTIME:
                v.Value.at = ReadAs<double>(p);
                break;
            case PT_CURRENCY:
                v.Value.cur.int64 = ReadAs<std::int64_t>(p);
                break;
            case PT_I8:
                v.Value.li.QuadPart = ReadAs<std::int64_t>(p);
                break;
            case PT_SYSTIME:
                v.Value.ft = ReadAs<FILETIME>(p);
                break;
            case PT_BOOLEAN:
                v.Value.b = ReadAs<std::uint16_t>(p) ? 1 : 0;
                break;
            case PT_CLSID: {
                char* d = take(16);
                std::memcpy(d, p.data(), std::min<std::size_t>(16, p.size()));
                v.Value.lpguid = reinterpret_cast<LPGUID>(d);
                break;
            }
            case PT_BINARY: {
                char* d = take(p.size());
                if (!p.empty()) std::memcpy(d, p.data(), p.size());
                v.Value.bin.cb = static_cast<ULONG>(p.size());
                v.Value.bin.lpb = reinterpret_cast<LPBYTE>(d);
                break;
            }
            case PT_UNICODE: {
                char* d = take(p.size() + 2, 2);
                if (!p.empty()) std::memcpy(d, p.data(), p.size());
                v.Value.lpszW = reinterpret_cast<LPWSTR>(d);
                break;
            }
            case PT_STRING8: {
                char* d = take(p.size() + 1, 1);
                if (!p.empty()) std::memcpy(d, p.data(), p.size());
                v.Value.lpszA = d;
                break;
            }
            default: {
                // Multi-valued.
                ULONG base = it.outType & ~MV_FLAG;
                std::uint32_t count = p.size() >= 4 ? ReadU32(p.data()) : 0;
                if (base == PT_BINARY || base == PT_UNICODE || base == PT_STRING8) {
                    char* arr =
                        take(std::size_t{count} * (base == PT_BINARY ? sizeof(SBinary) : sizeof(void*)));
                    std::uint32_t k = 0;
                    ForEachElement(base == PT_STRING8 ? PT_MV_BINARY : it.outType, p,
                                   [&](std::string_view e) {
                                       std::size_t term = base == PT_UNICODE ? 2 : base == PT_STRING8 ? 1 : 0;
                                       char* d = take(e.size() + term, term);
                                       if (!e.empty()) std::memcpy(d, e.data(), e.size());
                                       if (base == PT_BINARY) {
                                           auto* bins = reinterpret_cast<SBinary*>(arr);
                                           bins[k].cb = static_cast<ULONG>(e.size());
                                           bins[k].lpb = reinterpret_cast<LPBYTE>(d);
                                       } else {
                                           reinterpret_cast<char**>(arr)[k] = d;
                                       }
                                       ++k;
                                   });
                    // Every multi-valued union member is {ULONG cValues; T* pointer}.
                    v.Value.MVbin.cValues = count;
                    v.Value.MVbin.lpbin = reinterpret_cast<SBinary*>(arr);
                } else {
                    char* d = take(p.size() - 4);
                    if (p.size() > 4) std::memcpy(d, p.data() + 4, p.size() - 4);
                    v.Value.MVl.cValues = count;
                    v.Value.MVl.lpl = reinterpret_cast<LONG*>(d);
                }
                break;
            }
        }
    }
    return values;
}

void CopyPropValue(const SPropValue& src, SPropValue& dst, void* parent) {
    ULONG type = PROP_TYPE(src.ulPropTag);
    if (type == PT_ERROR || type == PT_NULL || type == PT_OBJECT || type == PT_UNSPECIFIED) {
        dst = src;
        return;
    }
    StoredValue sv = FromSPropValue(src);
    PropArrayBuilder b;
    b.AddValue(src.ulPropTag, type, sv.payload);
    LPSPropValue one = b.Build(parent);
    dst = *one;
}

int ComparePayload(ULONG type, std::string_view a, std::string_view b, bool ignoreCase) {
    auto cmp = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
    switch (type) {
        case PT_I2:
            return cmp(ReadAs<short>(a), ReadAs<short>(b));
        case PT_LONG:
        case PT_ERROR:
            return cmp(ReadAs<LONG>(a), ReadAs<LONG>(b));
        case PT_BOOLEAN:
            return cmp(ReadAs<std::uint16_t>(a) != 0, ReadAs<std::uint16_t>(b) != 0);
        case PT_R4:
            return cmp(ReadAs<float>(a), ReadAs<float>(b));
        case PT_DOUBLE:
        case PT_APPTIME:
            return cmp(ReadAs<double>(a), ReadAs<double>(b));
        case PT_CURRENCY:
        case PT_I8:
            return cmp(ReadAs<std::int64_t>(a), ReadAs<std::int64_t>(b));
        case PT_SYSTIME:
            return cmp(ReadAs<std::uint64_t>(a), ReadAs<std::uint64_t>(b));
        case PT_UNICODE: {
            std::u16string x = PayloadToU16(a), y = PayloadToU16(b);
            if (ignoreCase) {
                const int r = nx::sys::CompareIgnoringCase(x, y);
                return r < 0 ? -1 : (r > 0 ? 1 : 0);
            }
            return x.compare(y) < 0 ? -1 : (x == y ? 0 : 1);
        }
        default: {
            std::size_t n = std::min(a.size(), b.size());
            int r = n ? std::memcmp(a.data(), b.data(), n) : 0;
            if (r) return r < 0 ? -1 : 1;
            return cmp(a.size(), b.size());
        }
    }
}

}  // namespace nx::mapi32
