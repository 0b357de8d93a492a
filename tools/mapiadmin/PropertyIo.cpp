#include "tools/mapiadmin/PropertyIo.h"

#include <algorithm>
#include <utility>

#include "common/MapiHelpers.h"
#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/MapiBinding.h"

namespace nx::mapiadmin {
namespace {

bool IsStreamable(PropType t) {
    return t == kPtBinary || t == kPtUnicode || t == kPtString8;
}

std::string StreamBytesOf(const Prop& p) {
    if (p.Type() == kPtUnicode) {
        const auto& u = std::get<std::u16string>(p.values.at(0));
        std::string bytes;
        bytes.reserve(u.size() * 2);
        for (char16_t c : u) {
            bytes.push_back(static_cast<char>(c & 0xFF));
            bytes.push_back(static_cast<char>(c >> 8));
        }
        return bytes;
    }
    return std::get<std::string>(p.values.at(0));
}

void PropFromStream(Prop& p, std::string bytes) {
    if (p.Type() == kPtUnicode) {
        std::u16string u;
        u.reserve(bytes.size() / 2);
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
            u.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              (static_cast<unsigned char>(bytes[i + 1]) << 8)));
        while (!u.empty() && u.back() == u'\0') u.pop_back();
        p.values = {std::move(u)};
    } else {
        if (p.Type() == kPtString8)
            while (!bytes.empty() && bytes.back() == '\0') bytes.pop_back();
        p.values = {std::move(bytes)};
    }
}

bool PropOrder(const Prop& a, const Prop& b) {
    if (a.named.has_value() != b.named.has_value()) return !a.named.has_value();
    if (!a.named) return a.tag < b.tag;
    return std::tie(a.named->set, a.named->isString, a.named->id, a.named->name, a.tag) <
           std::tie(b.named->set, b.named->isString, b.named->id, b.named->name, b.tag);
}

// The names of the object's named properties, by property id.
std::map<ULONG, NamedId> NamesOf(const Runtime& rt, IMAPIProp* obj, const SPropTagArray& tags,
                                 const std::string& what) {
    std::map<ULONG, NamedId> names;
    std::vector<ULONG> buf(1);  // an SPropTagArray: the count, then the tags
    for (ULONG i = 0; i < tags.cValues; ++i)
        if (PROP_ID(tags.aulPropTag[i]) >= MAPI_NAMED_PROP_MIN) buf.push_back(tags.aulPropTag[i]);
    buf[0] = static_cast<ULONG>(buf.size() - 1);
    if (buf[0] == 0) return names;
    LPSPropTagArray arr = reinterpret_cast<LPSPropTagArray>(buf.data());
    ULONG cNames = 0;
    MapiBuffer<LPMAPINAMEID> nameArr(rt.mapi.MAPIFreeBuffer);
    const HRESULT hr = obj->GetNamesFromIDs(&arr, nullptr, 0, &cNames, nameArr.put());
    if (FAILED(hr)) ThrowHr("cannot read the names of the named properties of " + what, hr);
    for (ULONG i = 0; i < cNames && i < buf[0]; ++i) {
        const MAPINAMEID* n = nameArr[i];
        if (!n || !n->lpguid) continue;
        NamedId id;
        id.set = FromGuid(*n->lpguid);
        if (n->ulKind == MNID_STRING) {
            id.isString = true;
            if (n->Kind.lpwstrName) id.name = n->Kind.lpwstrName;
        } else {
            id.id = static_cast<std::uint32_t>(n->Kind.lID);
        }
        names[PROP_ID(buf[i + 1])] = std::move(id);
    }
    return names;
}

// The model value of one GetProps answer; false (with a warning) for a value a dump leaves out.
// A value left out of GetProps for its size is read through the property's stream.
bool ValueOf(IMAPIProp* obj, ULONG tag, const SPropValue& v, const std::string& what, Prop& p) {
    if (PROP_TYPE(v.ulPropTag) == PT_ERROR) {
        HRESULT hr = v.Value.err;
        if (hr == MAPI_E_NOT_ENOUGH_MEMORY && IsStreamable(PropTypeOf(tag))) {
            std::string bytes;
            hr = NAMESPACE_COMMON::ReadPropertyStream(obj, tag, bytes);
            if (SUCCEEDED(hr)) {
                p.tag = tag;
                PropFromStream(p, std::move(bytes));
            }
        }
        if (FAILED(hr))
            Warn(what + ": property " + DescribeProp(Prop{tag, {}, {}, {}}) + " left out, it reads as " +
                 HrText(hr));
        return SUCCEEDED(hr);
    }
    if (FromSPropValue(v, p)) return true;
    if (PROP_TYPE(v.ulPropTag) == PT_OBJECT)
        Warn(what + ": object property " + DescribeProp(Prop{tag, {}, {}, {}}) +
             " left out (embedded messages are not dumped)");
    return false;
}

}  // namespace

void ReadAllProps(const Session& s, IMAPIProp* obj, const std::string& what, std::vector<Prop>& props,
                  std::vector<Prop>& computed) {
    const Runtime& rt = s.Rt();
    MapiBuffer<SPropTagArray> tags(rt.mapi.MAPIFreeBuffer);
    Check(obj->GetPropList(MAPI_UNICODE, tags.put()), "cannot list the properties of " + what);
    if (!tags || tags->cValues == 0) return;
    ULONG count = 0;
    MapiBuffer<SPropValue> vals(rt.mapi.MAPIFreeBuffer);
    Check(obj->GetProps(tags.get(), MAPI_UNICODE, &count, vals.put()),
          "cannot read the properties of " + what);
    const std::map<ULONG, NamedId> names = NamesOf(rt, obj, *tags.get(), what);

    for (ULONG i = 0; i < count && i < tags->cValues; ++i) {
        const ULONG tag = tags->aulPropTag[i];
        Prop p;
        if (!ValueOf(obj, tag, vals[i], what, p)) continue;
        if (PROP_ID(tag) >= MAPI_NAMED_PROP_MIN) {
            auto it = names.find(PROP_ID(tag));
            if (it == names.end()) {
                Warn(what + ": named property " + DescribeProp(p) + " has no name and is left out");
                continue;
            }
            p.named = it->second;
            p.tag = MakeTag(0, PropTypeOf(p.tag));
        }
        (IsComputedTag(p.tag) && !p.named ? computed : props).push_back(std::move(p));
    }
    std::sort(props.begin(), props.end(), PropOrder);
    std::sort(computed.begin(), computed.end(), PropOrder);
}

NamedIds ResolveNames(const Session& s, IMessage* msg, const Item& item) {
    NamedIds ids;
    auto collect = [&](const std::vector<Prop>& props) {
        for (const auto& p : props)
            if (p.named) ids.emplace(NameKey{*p.named}, 0);
    };
    collect(item.props);
    for (const auto& a : item.attachments) {
        collect(a.props);
        if (a.embedded) collect(a.embedded->props);
    }
    if (ids.empty()) return ids;

    std::vector<GUID> guids;
    std::vector<std::u16string> strings;
    std::vector<MAPINAMEID> names;
    guids.reserve(ids.size());
    strings.reserve(ids.size());
    names.reserve(ids.size());
    for (auto& [key, id] : ids) {
        guids.push_back(ToGuid(key.name.set));
        MAPINAMEID n{};
        n.lpguid = &guids.back();
        if (key.name.isString) {
            n.ulKind = MNID_STRING;
            strings.push_back(key.name.name);
            n.Kind.lpwstrName = strings.back().data();
        } else {
            n.ulKind = MNID_ID;
            n.Kind.lID = static_cast<LONG>(key.name.id);
        }
        names.push_back(n);
    }
    std::vector<LPMAPINAMEID> ptrs;
    for (auto& n : names) ptrs.push_back(&n);
    MapiBuffer<SPropTagArray> tags(s.Rt().mapi.MAPIFreeBuffer);
    Check(msg->GetIDsFromNames(static_cast<ULONG>(ptrs.size()), ptrs.data(), MAPI_CREATE, tags.put()),
          "cannot resolve the named properties");
    std::size_t i = 0;
    for (auto& [key, id] : ids) {
        const ULONG tag = tags && i < tags->cValues ? tags->aulPropTag[i] : PR_NULL;
        Prop p;
        p.named = key.name;
        if (PROP_TYPE(tag) == PT_ERROR || PROP_ID(tag) < MAPI_NAMED_PROP_MIN)
            throw CommandError(kExitFailure, "the store gave no id to the named property " + DescribeProp(p));
        id = static_cast<std::uint16_t>(PROP_ID(tag));
        ++i;
    }
    return ids;
}

ULONG TagFor(const Prop& p, const NamedIds& ids) {
    if (!p.named) return p.tag;
    return MakeTag(ids.at(NameKey{*p.named}), p.Type());
}

void SetAll(const Session& s, IMAPIProp* obj, const std::vector<Prop>& props, const NamedIds& ids,
            const std::string& what) {
    if (props.empty()) return;
    PropArena arena;
    std::vector<SPropValue> vals;
    vals.reserve(props.size());
    for (const auto& p : props) vals.push_back(ToSPropValue(p, TagFor(p, ids), arena));
    MapiBuffer<SPropProblemArray> problems(s.Rt().mapi.MAPIFreeBuffer);
    Check(obj->SetProps(static_cast<ULONG>(vals.size()), vals.data(), problems.put()),
          "cannot set the properties of " + what);
    for (ULONG k = 0; problems && k < problems->cProblem; ++k) {
        const SPropProblem& pr = problems->aProblem[k];
        if (pr.ulIndex >= props.size()) ThrowHr("cannot set a property of " + what, pr.scode);
        const Prop& p = props[pr.ulIndex];
        if ((pr.scode == MAPI_E_NOT_ENOUGH_MEMORY || pr.scode == MAPI_E_TOO_BIG) && IsStreamable(p.Type()) &&
            !IsMultiValued(p.Type())) {
            WriteStream(obj, TagFor(p, ids), StreamBytesOf(p), DescribeProp(p) + " of " + what);
            continue;
        }
        ThrowHr("cannot set " + DescribeProp(p) + " of " + what, pr.scode);
    }
}

void WriteStream(IMAPIProp* obj, ULONG tag, const std::string& bytes, const std::string& what) {
    ComPtr<IStream> stream;
    Check(
        NAMESPACE_COMMON::OpenPropertyStream(obj, tag, MAPI_MODIFY | MAPI_CREATE | MAPI_BEST_ACCESS, stream),
        "cannot open a stream on " + what);
    ULONG written = 0;
    Check(NAMESPACE_COMMON::WriteWholeStream(stream.get(), bytes, written), "cannot write " + what);
    Check(stream->Commit(STGC_DEFAULT), "cannot commit " + what);
}

}  // namespace nx::mapiadmin
