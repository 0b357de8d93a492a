#include "tools/mapiadmin/MapiBinding.h"

#include <cstring>
#include <string>

#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/JsonText.h"

namespace nx::mapiadmin {
namespace {

FILETIME ToFileTime(std::int64_t ticks) {
    const auto u = static_cast<std::uint64_t>(ticks);
    return FILETIME{static_cast<DWORD>(u & 0xFFFFFFFF), static_cast<DWORD>(u >> 32)};
}

std::int64_t FromFileTime(const FILETIME& ft) {
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) |
                                     ft.dwLowDateTime);
}

GUID ToGuid(const Guid& g) {
    GUID out{g.data1, g.data2, g.data3, {}};
    std::memcpy(out.Data4, g.data4, 8);
    return out;
}

Guid FromGuid(const GUID& g) {
    Guid out{g.Data1, g.Data2, g.Data3, {}};
    std::memcpy(out.data4, g.Data4, 8);
    return out;
}

LPSTR CopyString8(const std::string& s, const Prop& prop, PropArena& arena) {
    if (s.find('\0') != std::string::npos)
        throw InputError(DescribeProp(prop) + ": PT_STRING8 text cannot contain a NUL byte");
    auto* p = arena.New<char>(s.size() + 1);
    std::memcpy(p, s.data(), s.size());
    p[s.size()] = '\0';
    return p;
}

LPWSTR CopyUnicode(const std::u16string& s, const Prop& prop, PropArena& arena) {
    if (s.find(u'\0') != std::u16string::npos)
        throw InputError(DescribeProp(prop) + ": PT_UNICODE text cannot contain U+0000");
    auto* p = arena.New<WCHAR>(s.size() + 1);
    std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
    p[s.size()] = u'\0';
    return p;
}

SBinary CopyBinary(const std::string& s, PropArena& arena) {
    auto* p = arena.New<BYTE>(s.size());
    if (!s.empty()) std::memcpy(p, s.data(), s.size());
    return SBinary{static_cast<ULONG>(s.size()), p};
}

template <class T>
T* ArrayOf(std::size_t n, PropArena& arena) {
    return arena.New<T>(n);
}

std::u16string WideOf(LPCWSTR s) {
    return s ? std::u16string(s) : std::u16string();
}

}  // namespace

void* PropArena::Alloc(std::size_t bytes) {
    const std::size_t n = (bytes + sizeof(std::max_align_t) - 1) / sizeof(std::max_align_t);
    m_blocks.push_back(std::make_unique<std::max_align_t[]>(n == 0 ? 1 : n));
    return m_blocks.back().get();
}

SPropValue ToSPropValue(const Prop& prop, ULONG tag, PropArena& arena) {
    SPropValue v{};
    v.ulPropTag = tag;
    const PropType t = PropTypeOf(tag);
    const auto& vals = prop.values;
    const auto n = static_cast<ULONG>(vals.size());
    auto i64 = [&](std::size_t k) { return std::get<std::int64_t>(vals[k]); };
    auto dbl = [&](std::size_t k) { return std::get<double>(vals[k]); };
    auto str = [&](std::size_t k) -> const std::string& { return std::get<std::string>(vals[k]); };
    switch (t) {
        case kPtI2:
            v.Value.i = static_cast<short>(i64(0));
            break;
        case kPtLong:
            v.Value.l = static_cast<LONG>(i64(0));
            break;
        case kPtR4:
            v.Value.flt = static_cast<float>(dbl(0));
            break;
        case kPtDouble:
            v.Value.dbl = dbl(0);
            break;
        case kPtAppTime:
            v.Value.at = dbl(0);
            break;
        case kPtCurrency:
            v.Value.cur.int64 = i64(0);
            break;
        case kPtBoolean:
            v.Value.b = static_cast<unsigned short>(i64(0));
            break;
        case kPtI8:
            v.Value.li.QuadPart = i64(0);
            break;
        case kPtSysTime:
            v.Value.ft = ToFileTime(i64(0));
            break;
        case kPtString8:
            v.Value.lpszA = CopyString8(str(0), prop, arena);
            break;
        case kPtUnicode:
            v.Value.lpszW = CopyUnicode(std::get<std::u16string>(vals[0]), prop, arena);
            break;
        case kPtBinary:
            v.Value.bin = CopyBinary(str(0), arena);
            break;
        case kPtClsid:
            v.Value.lpguid = arena.New<GUID>(1);
            *v.Value.lpguid = ToGuid(std::get<Guid>(vals[0]));
            break;
        case kMvFlag | kPtI2: {
            auto* a = ArrayOf<short>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = static_cast<short>(i64(k));
            v.Value.MVi = {n, a};
            break;
        }
        case kMvFlag | kPtLong: {
            auto* a = ArrayOf<LONG>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = static_cast<LONG>(i64(k));
            v.Value.MVl = {n, a};
            break;
        }
        case kMvFlag | kPtR4: {
            auto* a = ArrayOf<float>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = static_cast<float>(dbl(k));
            v.Value.MVflt = {n, a};
            break;
        }
        case kMvFlag | kPtDouble:
        case kMvFlag | kPtAppTime: {
            auto* a = ArrayOf<double>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = dbl(k);
            v.Value.MVdbl = {n, a};
            break;
        }
        case kMvFlag | kPtCurrency: {
            auto* a = ArrayOf<CURRENCY>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k].int64 = i64(k);
            v.Value.MVcur = {n, a};
            break;
        }
        case kMvFlag | kPtI8: {
            auto* a = ArrayOf<LARGE_INTEGER>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k].QuadPart = i64(k);
            v.Value.MVli = {n, a};
            break;
        }
        case kMvFlag | kPtSysTime: {
            auto* a = ArrayOf<FILETIME>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = ToFileTime(i64(k));
            v.Value.MVft = {n, a};
            break;
        }
        case kMvFlag | kPtString8: {
            auto* a = ArrayOf<LPSTR>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = CopyString8(str(k), prop, arena);
            v.Value.MVszA = {n, a};
            break;
        }
        case kMvFlag | kPtUnicode: {
            auto* a = ArrayOf<LPWSTR>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = CopyUnicode(std::get<std::u16string>(vals[k]), prop, arena);
            v.Value.MVszW = {n, a};
            break;
        }
        case kMvFlag | kPtBinary: {
            auto* a = ArrayOf<SBinary>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = CopyBinary(str(k), arena);
            v.Value.MVbin = {n, a};
            break;
        }
        case kMvFlag | kPtClsid: {
            auto* a = ArrayOf<GUID>(n, arena);
            for (ULONG k = 0; k < n; ++k) a[k] = ToGuid(std::get<Guid>(vals[k]));
            v.Value.MVguid = {n, a};
            break;
        }
        default:
            throw InputError(DescribeProp(prop) + ": type " + std::to_string(t) + " cannot be set");
    }
    return v;
}

bool FromSPropValue(const SPropValue& v, Prop& prop) {
    std::vector<Scalar> out;
    const PropType t = PropTypeOf(v.ulPropTag);
    auto bytes = [](const SBinary& b) {
        return b.lpb && b.cb ? std::string(reinterpret_cast<const char*>(b.lpb), b.cb) : std::string();
    };
    switch (t) {
        case kPtI2:
            out.emplace_back(std::int64_t{v.Value.i});
            break;
        case kPtLong:
            out.emplace_back(std::int64_t{v.Value.l});
            break;
        case kPtR4:
            out.emplace_back(static_cast<double>(v.Value.flt));
            break;
        case kPtDouble:
            out.emplace_back(v.Value.dbl);
            break;
        case kPtAppTime:
            out.emplace_back(v.Value.at);
            break;
        case kPtCurrency:
            out.emplace_back(std::int64_t{v.Value.cur.int64});
            break;
        case kPtBoolean:
            out.emplace_back(std::int64_t{v.Value.b});
            break;
        case kPtI8:
            out.emplace_back(std::int64_t{v.Value.li.QuadPart});
            break;
        case kPtSysTime:
            out.emplace_back(FromFileTime(v.Value.ft));
            break;
        case kPtString8:
            out.emplace_back(std::string(v.Value.lpszA ? v.Value.lpszA : ""));
            break;
        case kPtUnicode:
            out.emplace_back(WideOf(v.Value.lpszW));
            break;
        case kPtBinary:
            out.emplace_back(bytes(v.Value.bin));
            break;
        case kPtClsid:
            if (!v.Value.lpguid) return false;
            out.emplace_back(FromGuid(*v.Value.lpguid));
            break;
        case kMvFlag | kPtI2:
            for (ULONG k = 0; k < v.Value.MVi.cValues; ++k)
                out.emplace_back(std::int64_t{v.Value.MVi.lpi[k]});
            break;
        case kMvFlag | kPtLong:
            for (ULONG k = 0; k < v.Value.MVl.cValues; ++k)
                out.emplace_back(std::int64_t{v.Value.MVl.lpl[k]});
            break;
        case kMvFlag | kPtR4:
            for (ULONG k = 0; k < v.Value.MVflt.cValues; ++k)
                out.emplace_back(static_cast<double>(v.Value.MVflt.lpflt[k]));
            break;
        case kMvFlag | kPtDouble:
        case kMvFlag | kPtAppTime:
            for (ULONG k = 0; k < v.Value.MVdbl.cValues; ++k) out.emplace_back(v.Value.MVdbl.lpdbl[k]);
            break;
        case kMvFlag | kPtCurrency:
            for (ULONG k = 0; k < v.Value.MVcur.cValues; ++k)
                out.emplace_back(std::int64_t{v.Value.MVcur.lpcur[k].int64});
            break;
        case kMvFlag | kPtI8:
            for (ULONG k = 0; k < v.Value.MVli.cValues; ++k)
                out.emplace_back(std::int64_t{v.Value.MVli.lpli[k].QuadPart});
            break;
        case kMvFlag | kPtSysTime:
            for (ULONG k = 0; k < v.Value.MVft.cValues; ++k)
                out.emplace_back(FromFileTime(v.Value.MVft.lpft[k]));
            break;
        case kMvFlag | kPtString8:
            for (ULONG k = 0; k < v.Value.MVszA.cValues; ++k) {
                const char* s = v.Value.MVszA.lppszA[k];
                out.emplace_back(std::string(s ? s : ""));
            }
            break;
        case kMvFlag | kPtUnicode:
            for (ULONG k = 0; k < v.Value.MVszW.cValues; ++k)
                out.emplace_back(WideOf(v.Value.MVszW.lppszW[k]));
            break;
        case kMvFlag | kPtBinary:
            for (ULONG k = 0; k < v.Value.MVbin.cValues; ++k) out.emplace_back(bytes(v.Value.MVbin.lpbin[k]));
            break;
        case kMvFlag | kPtClsid:
            for (ULONG k = 0; k < v.Value.MVguid.cValues; ++k)
                out.emplace_back(FromGuid(v.Value.MVguid.lpguid[k]));
            break;
        default:
            return false;
    }
    prop.tag = v.ulPropTag;
    prop.values = std::move(out);
    return true;
}

}  // namespace nx::mapiadmin
