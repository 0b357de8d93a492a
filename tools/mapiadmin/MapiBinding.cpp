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

std::u16string WideOf(LPCWSTR s) {
    return s ? std::u16string(s) : std::u16string();
}

std::string BytesOf(const SBinary& b) {
    return b.lpb && b.cb ? std::string(reinterpret_cast<const char*>(b.lpb), b.cb) : std::string();
}

// One model value as each ABI type.
std::int64_t I64(const Scalar& x) {
    return std::get<std::int64_t>(x);
}
double Dbl(const Scalar& x) {
    return std::get<double>(x);
}
short AsI2(const Scalar& x) {
    return static_cast<short>(I64(x));
}
LONG AsLong(const Scalar& x) {
    return static_cast<LONG>(I64(x));
}
float AsR4(const Scalar& x) {
    return static_cast<float>(Dbl(x));
}
CURRENCY AsCurrency(const Scalar& x) {
    CURRENCY c{};
    c.int64 = I64(x);
    return c;
}
LARGE_INTEGER AsI8(const Scalar& x) {
    LARGE_INTEGER l{};
    l.QuadPart = I64(x);
    return l;
}
FILETIME AsFileTime(const Scalar& x) {
    return ToFileTime(I64(x));
}
GUID AsGuid(const Scalar& x) {
    return ToGuid(std::get<Guid>(x));
}

// The elements of a multi-valued property, each made by `one`, in the arena.
template <class T, class One>
T* Elements(const std::vector<Scalar>& values, PropArena& arena, One one) {
    T* a = arena.New<T>(values.size());
    for (std::size_t k = 0; k < values.size(); ++k) a[k] = one(values[k]);
    return a;
}

[[noreturn]] void CannotSet(const Prop& prop, PropType t) {
    throw InputError(DescribeProp(prop) + ": type " + std::to_string(t) + " cannot be set");
}

void SetSingle(SPropValue& v, const Prop& prop, PropArena& arena) {
    const Scalar& x = prop.values.at(0);
    switch (PropTypeOf(v.ulPropTag)) {
        case kPtI2:
            v.Value.i = AsI2(x);
            break;
        case kPtLong:
            v.Value.l = AsLong(x);
            break;
        case kPtR4:
            v.Value.flt = AsR4(x);
            break;
        case kPtDouble:
            v.Value.dbl = Dbl(x);
            break;
        case kPtAppTime:
            v.Value.at = Dbl(x);
            break;
        case kPtCurrency:
            v.Value.cur = AsCurrency(x);
            break;
        case kPtBoolean:
            v.Value.b = static_cast<unsigned short>(I64(x));
            break;
        case kPtI8:
            v.Value.li = AsI8(x);
            break;
        case kPtSysTime:
            v.Value.ft = AsFileTime(x);
            break;
        case kPtString8:
            v.Value.lpszA = CopyString8(std::get<std::string>(x), prop, arena);
            break;
        case kPtUnicode:
            v.Value.lpszW = CopyUnicode(std::get<std::u16string>(x), prop, arena);
            break;
        case kPtBinary:
            v.Value.bin = CopyBinary(std::get<std::string>(x), arena);
            break;
        case kPtClsid:
            v.Value.lpguid = Elements<GUID>(prop.values, arena, AsGuid);
            break;
        default:
            CannotSet(prop, PropTypeOf(v.ulPropTag));
    }
}

void SetMulti(SPropValue& v, const Prop& prop, PropArena& arena) {
    const std::vector<Scalar>& xs = prop.values;
    const auto n = static_cast<ULONG>(xs.size());
    switch (BaseType(PropTypeOf(v.ulPropTag))) {
        case kPtI2:
            v.Value.MVi = {n, Elements<short>(xs, arena, AsI2)};
            break;
        case kPtLong:
            v.Value.MVl = {n, Elements<LONG>(xs, arena, AsLong)};
            break;
        case kPtR4:
            v.Value.MVflt = {n, Elements<float>(xs, arena, AsR4)};
            break;
        case kPtDouble:
        case kPtAppTime:
            v.Value.MVdbl = {n, Elements<double>(xs, arena, Dbl)};
            break;
        case kPtCurrency:
            v.Value.MVcur = {n, Elements<CURRENCY>(xs, arena, AsCurrency)};
            break;
        case kPtI8:
            v.Value.MVli = {n, Elements<LARGE_INTEGER>(xs, arena, AsI8)};
            break;
        case kPtSysTime:
            v.Value.MVft = {n, Elements<FILETIME>(xs, arena, AsFileTime)};
            break;
        case kPtString8:
            v.Value.MVszA = {n, Elements<LPSTR>(xs, arena, [&](const Scalar& x) {
                                 return CopyString8(std::get<std::string>(x), prop, arena);
                             })};
            break;
        case kPtUnicode:
            v.Value.MVszW = {n, Elements<LPWSTR>(xs, arena, [&](const Scalar& x) {
                                 return CopyUnicode(std::get<std::u16string>(x), prop, arena);
                             })};
            break;
        case kPtBinary:
            v.Value.MVbin = {n, Elements<SBinary>(xs, arena, [&](const Scalar& x) {
                                 return CopyBinary(std::get<std::string>(x), arena);
                             })};
            break;
        case kPtClsid:
            v.Value.MVguid = {n, Elements<GUID>(xs, arena, AsGuid)};
            break;
        default:
            CannotSet(prop, PropTypeOf(v.ulPropTag));
    }
}

// Each of n ABI values as a model value.
template <class T, class One>
void Append(std::vector<Scalar>& out, ULONG n, const T* values, One one) {
    for (ULONG k = 0; k < n; ++k) out.emplace_back(one(values[k]));
}

// The model value of a single value; false for a type mapiadmin does not carry.
bool GetSingle(const SPropValue& v, std::vector<Scalar>& out) {
    switch (PropTypeOf(v.ulPropTag)) {
        case kPtI2:
            out.emplace_back(std::int64_t{v.Value.i});
            return true;
        case kPtLong:
            out.emplace_back(std::int64_t{v.Value.l});
            return true;
        case kPtR4:
            out.emplace_back(static_cast<double>(v.Value.flt));
            return true;
        case kPtDouble:
            out.emplace_back(v.Value.dbl);
            return true;
        case kPtAppTime:
            out.emplace_back(v.Value.at);
            return true;
        case kPtCurrency:
            out.emplace_back(std::int64_t{v.Value.cur.int64});
            return true;
        case kPtBoolean:
            out.emplace_back(std::int64_t{v.Value.b});
            return true;
        case kPtI8:
            out.emplace_back(std::int64_t{v.Value.li.QuadPart});
            return true;
        case kPtSysTime:
            out.emplace_back(FromFileTime(v.Value.ft));
            return true;
        case kPtString8:
            out.emplace_back(std::string(v.Value.lpszA ? v.Value.lpszA : ""));
            return true;
        case kPtUnicode:
            out.emplace_back(WideOf(v.Value.lpszW));
            return true;
        case kPtBinary:
            out.emplace_back(BytesOf(v.Value.bin));
            return true;
        case kPtClsid:
            if (!v.Value.lpguid) return false;
            out.emplace_back(FromGuid(*v.Value.lpguid));
            return true;
        default:
            return false;
    }
}

// The model values of a multi-valued property; false for a type mapiadmin does not carry.
bool GetMulti(const SPropValue& v, std::vector<Scalar>& out) {
    const auto& u = v.Value;
    switch (BaseType(PropTypeOf(v.ulPropTag))) {
        case kPtI2:
            Append(out, u.MVi.cValues, u.MVi.lpi, [](short x) { return std::int64_t{x}; });
            return true;
        case kPtLong:
            Append(out, u.MVl.cValues, u.MVl.lpl, [](LONG x) { return std::int64_t{x}; });
            return true;
        case kPtR4:
            Append(out, u.MVflt.cValues, u.MVflt.lpflt, [](float x) { return static_cast<double>(x); });
            return true;
        case kPtDouble:
        case kPtAppTime:
            Append(out, u.MVdbl.cValues, u.MVdbl.lpdbl, [](double x) { return x; });
            return true;
        case kPtCurrency:
            Append(out, u.MVcur.cValues, u.MVcur.lpcur,
                   [](const CURRENCY& x) { return std::int64_t{x.int64}; });
            return true;
        case kPtI8:
            Append(out, u.MVli.cValues, u.MVli.lpli,
                   [](const LARGE_INTEGER& x) { return std::int64_t{x.QuadPart}; });
            return true;
        case kPtSysTime:
            Append(out, u.MVft.cValues, u.MVft.lpft, FromFileTime);
            return true;
        case kPtString8:
            Append(out, u.MVszA.cValues, u.MVszA.lppszA, [](LPSTR x) { return std::string(x ? x : ""); });
            return true;
        case kPtUnicode:
            Append(out, u.MVszW.cValues, u.MVszW.lppszW, WideOf);
            return true;
        case kPtBinary:
            Append(out, u.MVbin.cValues, u.MVbin.lpbin, BytesOf);
            return true;
        case kPtClsid:
            Append(out, u.MVguid.cValues, u.MVguid.lpguid, FromGuid);
            return true;
        default:
            return false;
    }
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
    if (IsMultiValued(PropTypeOf(tag)))
        SetMulti(v, prop, arena);
    else
        SetSingle(v, prop, arena);
    return v;
}

bool FromSPropValue(const SPropValue& v, Prop& prop) {
    std::vector<Scalar> out;
    const bool carried = IsMultiValued(PropTypeOf(v.ulPropTag)) ? GetMulti(v, out) : GetSingle(v, out);
    if (!carried) return false;
    prop.tag = v.ulPropTag;
    prop.values = std::move(out);
    return true;
}

}  // namespace nx::mapiadmin
