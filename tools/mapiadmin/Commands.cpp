#include "tools/mapiadmin/Commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <tuple>

#include "platform/system/Utf.h"
#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/MapiBinding.h"
#include "tools/mapiadmin/MapiRuntime.h"
#include "tools/mapiadmin/PropNames.h"

namespace nx::mapiadmin {
namespace {

using ojson = nlohmann::ordered_json;
namespace fs = std::filesystem;

// A folder deeper than this is taken for a corrupt hierarchy.
constexpr int kMaxDepth = 256;
// Binary values of at least this size go to files when a dump is given --files.
constexpr std::size_t kExternalizeBytes = 4096;
constexpr ULONG kStreamChunk = 65536;

std::string Quote(const std::string& s) {
    return "\"" + s + "\"";
}
std::string Utf8(const std::u16string& s) {
    return sys::Utf16ToUtf8(s);
}

// The runtime's text for a warning or error code.
std::string HrText(HRESULT hr) {
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(hr));
    const char* t = Runtime::Get().ErrorText(hr);
    return (t ? std::string(t) + " " : std::string()) + "(" + code + ")";
}

void Check(HRESULT hr, const std::string& what) {
    if (FAILED(hr)) ThrowHr(what, hr);
}

void Warn(const std::string& message) {
    std::cerr << "mapiadmin: warning: " << message << "\n";
}

std::string EntryIdBytes(const SBinary& b) {
    return b.lpb && b.cb ? std::string(reinterpret_cast<const char*>(b.lpb), b.cb) : std::string();
}

LPENTRYID AsEntryId(const std::string& bytes) {
    return reinterpret_cast<LPENTRYID>(const_cast<char*>(bytes.data()));
}

// Reads the PR_ENTRYID of an object.
std::string EntryIdOf(const Runtime& rt, IMAPIProp* obj) {
    MapiBuffer<SPropValue> v(rt.mapi.MAPIFreeBuffer);
    Check(rt.mapi.HrGetOneProp(obj, PR_ENTRYID, v.put()), "cannot read the entry id");
    if (PROP_TYPE(v->ulPropTag) != PT_BINARY) throw CommandError(kExitFailure, "the object has no entry id");
    return EntryIdBytes(v->Value.bin);
}

// ---- Folders ----

struct ChildFolder {
    std::u16string name;
    std::string entryId;
    std::optional<std::u16string> containerClass;
};

std::vector<ChildFolder> ChildFolders(const Runtime& rt, IMAPIFolder* folder) {
    ComPtr<IMAPITable> table;
    Check(folder->GetHierarchyTable(MAPI_UNICODE, table.put()), "cannot open the folder hierarchy");
    SizedSPropTagArray<3> cols = {3, {PR_DISPLAY_NAME_W, PR_ENTRYID, PR_CONTAINER_CLASS_W}};
    RowSetPtr rows(rt.mapi.FreeProws);
    Check(rt.mapi.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()),
          "cannot read the folder hierarchy");
    std::vector<ChildFolder> out;
    for (ULONG i = 0; i < rows.size(); ++i) {
        const SRow& r = rows[i];
        ChildFolder c;
        for (ULONG k = 0; k < r.cValues; ++k) {
            const SPropValue& v = r.lpProps[k];
            if (v.ulPropTag == PR_DISPLAY_NAME_W && v.Value.lpszW)
                c.name = v.Value.lpszW;
            else if (v.ulPropTag == PR_ENTRYID)
                c.entryId = EntryIdBytes(v.Value.bin);
            else if (v.ulPropTag == PR_CONTAINER_CLASS_W && v.Value.lpszW)
                c.containerClass = v.Value.lpszW;
        }
        if (!c.entryId.empty()) out.push_back(std::move(c));
    }
    return out;
}

template <class T>
ComPtr<T> OpenInStore(IMsgStore* store, const std::string& entryId, ULONG expectedType, HRESULT& hr) {
    ULONG type = 0;
    ComPtr<IUnknown> unk;
    hr = store->OpenEntry(static_cast<ULONG>(entryId.size()), entryId.empty() ? nullptr : AsEntryId(entryId),
                          nullptr, MAPI_BEST_ACCESS, &type, unk.put());
    if (FAILED(hr) || !unk) return {};
    if (type != expectedType) {
        hr = MAPI_E_NOT_FOUND;
        return {};
    }
    return ComPtr<T>::Attach(reinterpret_cast<T*>(unk.detach()));
}

struct FolderRef {
    ComPtr<IMsgStore> store;
    ComPtr<IMAPIFolder> folder;
    std::string entryId;
    std::string path;  // as given, for messages
};

struct MessageRef {
    ComPtr<IMsgStore> store;
    ComPtr<IMessage> message;
    std::string entryId;
};

const StoreInfo* FindStore(const Session& s, const std::string& name) {
    for (const auto& st : s.Profile().stores)
        if (st.name == name) return &st;
    return nullptr;
}

std::string StoreIdBytes(const StoreInfo& st) {
    auto bytes = FromHex(st.entryIdHex);
    if (!bytes)
        throw CommandError(kExitFailure,
                           "the runtime listed store " + Quote(st.name) + " with a bad entry id");
    return *bytes;
}

// Opens an object by entry id in whichever store of the profile holds it.
template <class T>
std::pair<ComPtr<IMsgStore>, ComPtr<T>> OpenById(const Session& s, const std::string& hex, ULONG type,
                                                 const char* what) {
    const auto id = FromHex(hex);
    if (!id || id->empty()) throw CommandError(kExitUsage, Quote(hex) + " is not an entry id in hex");
    for (const auto& st : s.Profile().stores) {
        ComPtr<IMsgStore> store = s.OpenStore(StoreIdBytes(st));
        HRESULT hr = S_OK;
        ComPtr<T> obj = OpenInStore<T>(store.get(), *id, type, hr);
        if (obj) return {std::move(store), std::move(obj)};
        if (hr != MAPI_E_NOT_FOUND && hr != MAPI_E_INVALID_ENTRYID && hr != MAPI_E_UNKNOWN_ENTRYID)
            ThrowHr(std::string("cannot open ") + what + " " + hex, hr);
    }
    throw CommandError(kExitNotFound, std::string("no ") + what + " with entry id " + hex + " in profile " +
                                          Quote(s.Profile().name));
}

FolderRef OpenRoot(const Session& s, const StoreInfo& st) {
    FolderRef ref;
    ref.store = s.OpenStore(StoreIdBytes(st));
    HRESULT hr = S_OK;
    ref.folder = OpenInStore<IMAPIFolder>(ref.store.get(), "", MAPI_FOLDER, hr);
    if (!ref.folder) ThrowHr("cannot open the root folder of store " + Quote(st.name), hr);
    ref.entryId = EntryIdOf(s.Rt(), ref.folder.get());
    ref.path = st.name;
    return ref;
}

std::string JoinPath(const std::vector<std::string>& parts, std::size_t n) {
    std::string p;
    for (std::size_t i = 0; i < n; ++i) {
        if (i) p += "/";
        for (char c : parts[i]) {
            if (c == '/' || c == '\\') p += '\\';
            p += c;
        }
    }
    return p;
}

std::vector<std::string> ParsePathOrThrow(const std::string& path) {
    auto parts = SplitFolderPath(path);
    if (!parts || parts->empty())
        throw CommandError(kExitUsage, Quote(path) +
                                           " is not a folder path (\"Store/Folder/Sub-folder\", "
                                           "\"\\/\" for a slash inside a name)");
    return *parts;
}

// Walks parts[1..n) below the root of store parts[0]. Returns how many components exist; ref
// ends on the deepest existing folder.
std::size_t Walk(const Session& s, const std::vector<std::string>& parts, FolderRef& ref) {
    const StoreInfo* st = FindStore(s, parts[0]);
    if (!st)
        throw CommandError(kExitNotFound,
                           "no store " + Quote(parts[0]) + " in profile " + Quote(s.Profile().name));
    ref = OpenRoot(s, *st);
    for (std::size_t i = 1; i < parts.size(); ++i) {
        const std::u16string want = sys::Utf8ToUtf16(parts[i]);
        std::optional<std::string> found;
        for (const auto& c : ChildFolders(s.Rt(), ref.folder.get()))
            if (c.name == want) found = c.entryId;
        if (!found) return i;
        HRESULT hr = S_OK;
        ComPtr<IMAPIFolder> f = OpenInStore<IMAPIFolder>(ref.store.get(), *found, MAPI_FOLDER, hr);
        if (!f) ThrowHr("cannot open folder " + Quote(JoinPath(parts, i + 1)), hr);
        ref.folder = std::move(f);
        ref.entryId = *found;
        ref.path = JoinPath(parts, i + 1);
    }
    return parts.size();
}

FolderRef ResolveFolder(const Session& s, const std::string& arg) {
    if (LooksLikeEntryId(arg)) {
        auto [store, folder] = OpenById<IMAPIFolder>(s, arg, MAPI_FOLDER, "folder");
        FolderRef ref{std::move(store), std::move(folder), *FromHex(arg), arg};
        return ref;
    }
    const auto parts = ParsePathOrThrow(arg);
    FolderRef ref;
    const std::size_t n = Walk(s, parts, ref);
    if (n != parts.size())
        throw CommandError(kExitNotFound,
                           "folder not found: " + Quote(JoinPath(parts, n + 1)) + " (in " + Quote(arg) + ")");
    return ref;
}

ComPtr<IMAPIFolder> CreateChild(const Session& s, const FolderRef& parent, const std::string& name,
                                const std::optional<std::string>& cls, const std::string& path) {
    std::u16string wname = sys::Utf8ToUtf16(name);
    ComPtr<IMAPIFolder> f;
    HRESULT hr = parent.folder->CreateFolder(FOLDER_GENERIC, reinterpret_cast<LPTSTR>(wname.data()), nullptr,
                                             nullptr, MAPI_UNICODE, f.put());
    if (FAILED(hr) || !f)
        ThrowHr("cannot create folder " + Quote(path), FAILED(hr) ? hr : MAPI_E_CALL_FAILED);
    if (cls) {
        std::u16string wcls = sys::Utf8ToUtf16(*cls);
        SPropValue v{};
        v.ulPropTag = PR_CONTAINER_CLASS_W;
        v.Value.lpszW = wcls.data();
        MapiBuffer<SPropProblemArray> problems(s.Rt().mapi.MAPIFreeBuffer);
        Check(f->SetProps(1, &v, problems.put()), "cannot set the container class of " + Quote(path));
        if (problems && problems->cProblem > 0)
            ThrowHr("cannot set the container class of " + Quote(path), problems->aProblem[0].scode);
        hr = f->SaveChanges(KEEP_OPEN_READWRITE);
        if (FAILED(hr) && hr != MAPI_E_NO_SUPPORT) ThrowHr("cannot save folder " + Quote(path), hr);
    }
    return f;
}

// ---- Properties of an object ----

bool IsStreamable(PropType t) {
    return t == kPtBinary || t == kPtUnicode || t == kPtString8;
}

std::string ReadStream(IMAPIProp* obj, ULONG tag, HRESULT& hr) {
    ComPtr<IUnknown> unk;
    hr = obj->OpenProperty(tag, &IID_IStream, 0, 0, unk.put());
    if (FAILED(hr) || !unk) return {};
    ComPtr<IStream> stream = ComPtr<IStream>::Attach(reinterpret_cast<IStream*>(unk.detach()));
    std::string bytes;
    std::vector<char> buf(kStreamChunk);
    for (;;) {
        ULONG got = 0;
        hr = stream->Read(buf.data(), kStreamChunk, &got);
        if (FAILED(hr)) return {};
        if (got == 0) break;
        bytes.append(buf.data(), got);
    }
    hr = S_OK;
    return bytes;
}

void WriteStream(IMAPIProp* obj, ULONG tag, const std::string& bytes, const std::string& what) {
    ComPtr<IUnknown> unk;
    Check(obj->OpenProperty(tag, &IID_IStream, 0, MAPI_MODIFY | MAPI_CREATE | MAPI_BEST_ACCESS, unk.put()),
          "cannot open a stream on " + what);
    if (!unk) throw CommandError(kExitFailure, "no stream on " + what);
    ComPtr<IStream> stream = ComPtr<IStream>::Attach(reinterpret_cast<IStream*>(unk.detach()));
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto n = static_cast<ULONG>(std::min<std::size_t>(kStreamChunk, bytes.size() - at));
        ULONG written = 0;
        Check(stream->Write(bytes.data() + at, n, &written), "cannot write " + what);
        if (written == 0)
            throw CommandError(kExitFailure, "the stream of " + what + " accepts no more bytes");
        at += written;
    }
    Check(stream->Commit(STGC_DEFAULT), "cannot commit " + what);
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

// Every property of obj, large values read through streams, named properties with their names.
// Splits into settable properties and computed ones.
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

    // Names of the named properties.
    std::vector<ULONG> namedTags;
    for (ULONG i = 0; i < tags->cValues; ++i)
        if (PROP_ID(tags->aulPropTag[i]) >= MAPI_NAMED_PROP_MIN) namedTags.push_back(tags->aulPropTag[i]);
    std::map<ULONG, NamedId> names;
    if (!namedTags.empty()) {
        std::vector<ULONG> buf(namedTags.size() + 1);
        buf[0] = static_cast<ULONG>(namedTags.size());
        std::copy(namedTags.begin(), namedTags.end(), buf.begin() + 1);
        LPSPropTagArray arr = reinterpret_cast<LPSPropTagArray>(buf.data());
        ULONG cNames = 0;
        MapiBuffer<LPMAPINAMEID> nameArr(rt.mapi.MAPIFreeBuffer);
        const HRESULT hr = obj->GetNamesFromIDs(&arr, nullptr, 0, &cNames, nameArr.put());
        if (FAILED(hr)) ThrowHr("cannot read the names of the named properties of " + what, hr);
        for (ULONG i = 0; i < cNames && i < namedTags.size(); ++i) {
            const MAPINAMEID* n = nameArr[i];
            if (!n || !n->lpguid) continue;
            NamedId id;
            id.set = Guid{n->lpguid->Data1, n->lpguid->Data2, n->lpguid->Data3, {}};
            std::copy(n->lpguid->Data4, n->lpguid->Data4 + 8, id.set.data4);
            if (n->ulKind == MNID_STRING) {
                id.isString = true;
                if (n->Kind.lpwstrName) id.name = n->Kind.lpwstrName;
            } else {
                id.id = static_cast<std::uint32_t>(n->Kind.lID);
            }
            names[PROP_ID(namedTags[i])] = std::move(id);
        }
    }

    for (ULONG i = 0; i < count && i < tags->cValues; ++i) {
        const ULONG tag = tags->aulPropTag[i];
        const SPropValue& v = vals[i];
        Prop p;
        if (PROP_TYPE(v.ulPropTag) == PT_ERROR) {
            HRESULT hr = v.Value.err;
            if (hr == MAPI_E_NOT_ENOUGH_MEMORY && IsStreamable(PropTypeOf(tag))) {
                std::string bytes = ReadStream(obj, tag, hr);
                if (SUCCEEDED(hr)) {
                    p.tag = tag;
                    PropFromStream(p, std::move(bytes));
                }
            }
            if (FAILED(hr)) {
                Warn(what + ": property " + DescribeProp(Prop{tag, {}, {}, {}}) + " left out, it reads as " +
                     HrText(hr));
                continue;
            }
        } else if (!FromSPropValue(v, p)) {
            if (PROP_TYPE(v.ulPropTag) == PT_OBJECT)
                Warn(what + ": object property " + DescribeProp(Prop{tag, {}, {}, {}}) +
                     " left out (embedded messages are not dumped)");
            continue;
        }
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

// ---- Named-property resolution and SetProps for put ----

struct NameKey {
    NamedId name;
    bool operator<(const NameKey& o) const {
        return std::tie(name.set, name.isString, name.id, name.name) <
               std::tie(o.name.set, o.name.isString, o.name.id, o.name.name);
    }
};

// Resolves every named property of the item (message and attachments) with GetIDsFromNames and
// MAPI_CREATE on the message: named-property ids belong to the store.
std::map<NameKey, std::uint16_t> ResolveNames(const Session& s, IMessage* msg, const Item& item) {
    std::map<NameKey, std::uint16_t> ids;
    auto collect = [&](const std::vector<Prop>& props) {
        for (const auto& p : props)
            if (p.named) ids.emplace(NameKey{*p.named}, 0);
    };
    collect(item.props);
    for (const auto& a : item.attachments) collect(a.props);
    if (ids.empty()) return ids;

    std::vector<GUID> guids;
    std::vector<std::u16string> strings;
    std::vector<MAPINAMEID> names;
    guids.reserve(ids.size());
    strings.reserve(ids.size());
    names.reserve(ids.size());
    for (auto& [key, id] : ids) {
        GUID g{key.name.set.data1, key.name.set.data2, key.name.set.data3, {}};
        std::copy(key.name.set.data4, key.name.set.data4 + 8, g.Data4);
        guids.push_back(g);
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

ULONG TagFor(const Prop& p, const std::map<NameKey, std::uint16_t>& ids) {
    if (!p.named) return p.tag;
    return MakeTag(ids.at(NameKey{*p.named}), p.Type());
}

// Sets props on obj; a value the store refuses because of its size is written as a stream.
void SetAll(const Session& s, IMAPIProp* obj, const std::vector<Prop>& props,
            const std::map<NameKey, std::uint16_t>& ids, const std::string& what) {
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

std::string ReadInput(const std::string& file, fs::path& baseDir) {
    if (file == "-") {
        baseDir = fs::current_path();
        return std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) throw CommandError(kExitInput, "cannot read " + Quote(file) + ": " + std::strerror(errno));
    baseDir = fs::absolute(fs::path(file)).parent_path();
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string SafeFileName(const std::string& name) {
    std::string out;
    for (char c : name) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '-' || c == '_';
        out += ok ? c : '_';
    }
    while (!out.empty() && out.front() == '.') out.erase(out.begin());
    return out.substr(0, 100);
}

// A name not yet used in this dump: "name", else "2-name", "3-name", ...
std::string UniqueFile(const std::string& name, std::set<std::string>& used) {
    std::string candidate = name;
    for (int n = 2; used.count(candidate); ++n) candidate = std::to_string(n) + "-" + name;
    used.insert(candidate);
    return candidate;
}

// ---- Listing helpers ----

void FolderTreeText(const Session& s, IMAPIFolder* folder, int depth, std::ostream& out) {
    if (depth > kMaxDepth)
        throw CommandError(kExitFailure, "the folder hierarchy is deeper than " + std::to_string(kMaxDepth));
    for (const auto& c : ChildFolders(s.Rt(), folder)) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << Utf8(c.name) << "  ["
            << (c.containerClass ? Utf8(*c.containerClass) : "") << "]  " << ToHex(c.entryId) << "\n";
        ULONG type = 0;
        ComPtr<IUnknown> unk;
        const HRESULT hr = folder->OpenEntry(static_cast<ULONG>(c.entryId.size()), AsEntryId(c.entryId),
                                             nullptr, MAPI_BEST_ACCESS, &type, unk.put());
        if (FAILED(hr) || !unk || type != MAPI_FOLDER) {
            Warn("cannot open folder " + Quote(Utf8(c.name)) + ": " +
                 HrText(FAILED(hr) ? hr : MAPI_E_NOT_FOUND));
            continue;
        }
        auto child = ComPtr<IMAPIFolder>::Attach(reinterpret_cast<IMAPIFolder*>(unk.detach()));
        FolderTreeText(s, child.get(), depth + 1, out);
    }
}

ojson FolderTreeJson(const Session& s, IMAPIFolder* folder, int depth) {
    if (depth > kMaxDepth)
        throw CommandError(kExitFailure, "the folder hierarchy is deeper than " + std::to_string(kMaxDepth));
    ojson arr = ojson::array();
    for (const auto& c : ChildFolders(s.Rt(), folder)) {
        ojson node = ojson::object();
        node["name"] = Utf16ToJson(c.name);
        node["class"] = c.containerClass ? ojson(Utf16ToJson(*c.containerClass)) : ojson(nullptr);
        node["entryId"] = ToHex(c.entryId);
        ULONG type = 0;
        ComPtr<IUnknown> unk;
        const HRESULT hr = folder->OpenEntry(static_cast<ULONG>(c.entryId.size()), AsEntryId(c.entryId),
                                             nullptr, MAPI_BEST_ACCESS, &type, unk.put());
        if (SUCCEEDED(hr) && unk && type == MAPI_FOLDER) {
            auto child = ComPtr<IMAPIFolder>::Attach(reinterpret_cast<IMAPIFolder*>(unk.detach()));
            node["folders"] = FolderTreeJson(s, child.get(), depth + 1);
        } else {
            Warn("cannot open folder " + Quote(Utf8(c.name)) + ": " +
                 HrText(FAILED(hr) ? hr : MAPI_E_NOT_FOUND));
            node["folders"] = ojson::array();
        }
        arr.push_back(std::move(node));
    }
    return arr;
}

void WriteJson(const ojson& doc, std::ostream& out) {
    out << DumpJsonText(doc);
}

// A UTF-8 name from the runtime as a JSON string (bytes that are not UTF-8 become U+FFFD).
std::string JsonName(const std::string& utf8) {
    return Utf16ToJson(sys::Utf8ToUtf16(utf8));
}

}  // namespace

// ---- Path syntax ----

std::optional<std::vector<std::string>> SplitFolderPath(const std::string& path) {
    std::vector<std::string> parts;
    std::string cur;
    bool any = false;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const char c = path[i];
        if (c == '\\') {
            if (i + 1 >= path.size() || (path[i + 1] != '/' && path[i + 1] != '\\')) return std::nullopt;
            cur += path[++i];
            any = true;
        } else if (c == '/') {
            if (!any) return std::nullopt;
            parts.push_back(std::move(cur));
            cur.clear();
            any = false;
        } else {
            cur += c;
            any = true;
        }
    }
    if (any) parts.push_back(std::move(cur));
    if (parts.empty()) return std::nullopt;
    return parts;
}

bool LooksLikeEntryId(const std::string& arg) {
    std::string_view s(arg);
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
    if (s.size() < 8 || s.size() % 2 != 0) return false;
    return std::all_of(s.begin(), s.end(),
                       [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; });
}

// ---- Profiles and stores ----

void CmdInit(const Options&, std::ostream& out) {
    const HRESULT hr = Runtime::Get().InitDefault();
    if (hr == MAPI_E_COLLISION)
        throw CommandError(kExitExists, "profile \"Outlook\" already exists; nothing was changed");
    Check(hr, "cannot create the default profile");
    out << "created profile \"Outlook\" (default) with store \"Personal Folders\" (default) and the standard "
           "folders\n";
}

void CmdProfileList(const Options& o, std::ostream& out) {
    const auto profiles = ListProfiles();
    if (o.json) {
        ojson arr = ojson::array();
        for (const auto& p : profiles) {
            ojson stores = ojson::array();
            for (const auto& st : p.stores)
                stores.push_back({{"name", JsonName(st.name)},
                                  {"entryId", st.entryIdHex},
                                  {"default", st.isDefault},
                                  {"longTermIds", st.longTermIds},
                                  {"path", JsonName(st.path)}});
            arr.push_back(
                {{"name", JsonName(p.name)}, {"default", p.isDefault}, {"stores", std::move(stores)}});
        }
        WriteJson(arr, out);
        return;
    }
    for (const auto& p : profiles) out << p.name << (p.isDefault ? "  (default)" : "") << "\n";
}

void CmdProfileCreate(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().CreateProfile(name.c_str(), o.makeDefault ? 1 : 0);
    if (hr == MAPI_E_COLLISION) throw CommandError(kExitExists, "profile " + Quote(name) + " already exists");
    Check(hr, "cannot create profile " + Quote(name));
}

void CmdProfileDelete(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().DeleteProfile(name.c_str());
    if (hr == MAPI_E_NOT_FOUND) throw CommandError(kExitNotFound, "unknown profile " + Quote(name));
    Check(hr, "cannot delete profile " + Quote(name));
}

void CmdProfileSetDefault(const Options& o, std::ostream&) {
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().SetDefaultProfile(name.c_str());
    if (hr == MAPI_E_NOT_FOUND) throw CommandError(kExitNotFound, "unknown profile " + Quote(name));
    Check(hr, "cannot make profile " + Quote(name) + " the default");
}

void CmdStoreList(const Options& o, std::ostream& out) {
    const ProfileInfo p = FindProfile(o.profile);
    if (o.json) {
        ojson arr = ojson::array();
        for (const auto& st : p.stores)
            arr.push_back({{"name", JsonName(st.name)},
                           {"entryId", st.entryIdHex},
                           {"default", st.isDefault},
                           {"longTermIds", st.longTermIds},
                           {"path", JsonName(st.path)}});
        WriteJson(arr, out);
        return;
    }
    for (const auto& st : p.stores) {
        out << st.name << "  " << st.entryIdHex;
        if (st.isDefault) out << "  default";
        if (st.longTermIds) out << "  long-term-ids";
        out << "\n";
    }
}

void CmdStoreCreate(const Options& o, std::ostream& out) {
    const ProfileInfo p = FindProfile(o.profile);
    const std::string& name = o.args.at(0);
    uint32_t flags = 0;
    if (o.makeDefault) flags |= NX_MAPI_STORE_DEFAULT;
    if (o.longTermIds) flags |= NX_MAPI_STORE_LONGTERM_IDS;
    if (o.standardFolders) flags |= NX_MAPI_STORE_STANDARD_FOLDERS;
    char hex[1024] = {};
    const HRESULT hr = Runtime::Get().AddStore(p.name.c_str(), name.c_str(), flags, hex, sizeof hex);
    if (hr == MAPI_E_COLLISION)
        throw CommandError(kExitExists, "profile " + Quote(p.name) + " already has a store " + Quote(name));
    Check(hr, "cannot create store " + Quote(name) + " in profile " + Quote(p.name));
    out << hex << "\n";
}

void CmdStoreDelete(const Options& o, std::ostream&) {
    const ProfileInfo p = FindProfile(o.profile);
    const std::string& name = o.args.at(0);
    const HRESULT hr = Runtime::Get().RemoveStore(p.name.c_str(), name.c_str());
    if (hr == MAPI_E_NOT_FOUND)
        throw CommandError(kExitNotFound, "no store " + Quote(name) + " in profile " + Quote(p.name));
    Check(hr, "cannot delete store " + Quote(name));
}

// ---- Folders ----

void CmdFolderList(const Options& o, std::ostream& out) {
    Session s(o.profile);
    std::vector<FolderRef> tops;
    std::vector<std::string> labels;
    if (!o.args.empty()) {
        tops.push_back(ResolveFolder(s, o.args[0]));
        labels.push_back(o.args[0]);
    } else {
        for (const auto& st : s.Profile().stores) {
            tops.push_back(OpenRoot(s, st));
            labels.push_back(st.name);
        }
    }
    if (o.json) {
        ojson arr = ojson::array();
        for (std::size_t i = 0; i < tops.size(); ++i)
            arr.push_back({{"name", JsonName(labels[i])},
                           {"entryId", ToHex(tops[i].entryId)},
                           {"folders", FolderTreeJson(s, tops[i].folder.get(), 0)}});
        WriteJson(arr, out);
        return;
    }
    for (std::size_t i = 0; i < tops.size(); ++i) {
        out << labels[i] << "  " << ToHex(tops[i].entryId) << "\n";
        FolderTreeText(s, tops[i].folder.get(), 1, out);
    }
}

void CmdFolderShow(const Options& o, std::ostream& out) {
    Session s(o.profile);
    const FolderRef ref = ResolveFolder(s, o.args.at(0));
    if (!o.json) {
        out << ToHex(ref.entryId) << "\n";
        return;
    }
    MapiBuffer<SPropValue> cls(s.Rt().mapi.MAPIFreeBuffer);
    const HRESULT hr = s.Rt().mapi.HrGetOneProp(ref.folder.get(), PR_CONTAINER_CLASS_W, cls.put());
    ojson doc = {{"entryId", ToHex(ref.entryId)}};
    doc["class"] = SUCCEEDED(hr) && cls && PROP_TYPE(cls->ulPropTag) == PT_UNICODE && cls->Value.lpszW
                       ? ojson(Utf16ToJson(cls->Value.lpszW))
                       : ojson(nullptr);
    WriteJson(doc, out);
}

void CmdFolderCreate(const Options& o, std::ostream& out) {
    Session s(o.profile);
    const auto parts = ParsePathOrThrow(o.args.at(0));
    if (parts.size() < 2)
        throw CommandError(kExitUsage, "a folder path names a store and at least one folder below its root");
    FolderRef ref;
    std::size_t n = Walk(s, parts, ref);
    if (n == parts.size()) {
        if (o.parents) {
            out << ToHex(ref.entryId) << "\n";
            return;
        }
        throw CommandError(kExitExists, "folder " + Quote(JoinPath(parts, n)) + " already exists");
    }
    if (n + 1 < parts.size() && !o.parents)
        throw CommandError(kExitNotFound, "folder not found: " + Quote(JoinPath(parts, n + 1)) +
                                              " (use --parents to create the missing folders)");
    for (; n < parts.size(); ++n) {
        const std::string path = JoinPath(parts, n + 1);
        ComPtr<IMAPIFolder> f = CreateChild(s, ref, parts[n], o.containerClass, path);
        ref.entryId = EntryIdOf(s.Rt(), f.get());
        ref.folder = std::move(f);
        ref.path = path;
    }
    out << ToHex(ref.entryId) << "\n";
}

void CmdFolderDelete(const Options& o, std::ostream&) {
    Session s(o.profile);
    const FolderRef ref = ResolveFolder(s, o.args.at(0));
    MapiBuffer<SPropValue> parent(s.Rt().mapi.MAPIFreeBuffer);
    const HRESULT hr = s.Rt().mapi.HrGetOneProp(ref.folder.get(), PR_PARENT_ENTRYID, parent.put());
    const std::string parentId = SUCCEEDED(hr) && parent && PROP_TYPE(parent->ulPropTag) == PT_BINARY
                                     ? EntryIdBytes(parent->Value.bin)
                                     : std::string();
    // The root folder is its own parent (or has none): it goes only with its store.
    if (parentId.empty() || parentId == ref.entryId)
        throw CommandError(kExitUsage, Quote(o.args[0]) + " is a store's root folder; use \"store delete\"");
    HRESULT open = S_OK;
    ComPtr<IMAPIFolder> up = OpenInStore<IMAPIFolder>(ref.store.get(), parentId, MAPI_FOLDER, open);
    if (!up) ThrowHr("cannot open the parent of " + Quote(o.args[0]), open);
    std::string id = ref.entryId;
    Check(up->DeleteFolder(static_cast<ULONG>(id.size()), AsEntryId(id), 0, nullptr,
                           DEL_FOLDERS | DEL_MESSAGES),
          "cannot delete folder " + Quote(o.args[0]));
}

// ---- Items ----

namespace {

// Adds the item's attachments to msg.
void AddAttachments(const Session& s, IMessage* msg, const Item& item,
                    const std::map<NameKey, std::uint16_t>& ids, const std::string& label) {
    for (std::size_t i = 0; i < item.attachments.size(); ++i) {
        const std::string what = "attachment " + std::to_string(i) + " of " + label;
        ComPtr<IAttach> att;
        ULONG num = 0;
        Check(msg->CreateAttach(nullptr, 0, &num, att.put()), "cannot create " + what);
        if (!att) throw CommandError(kExitFailure, "no attachment came back for " + what);
        std::vector<Prop> props;
        const Prop* data = nullptr;
        for (const auto& p : item.attachments[i].props) {
            if (!p.named && p.tag == PR_ATTACH_DATA_BIN)
                data = &p;
            else
                props.push_back(p);
        }
        SetAll(s, att.get(), props, ids, what);
        if (data)
            WriteStream(att.get(), PR_ATTACH_DATA_BIN, std::get<std::string>(data->values.at(0)),
                        "the data of " + what);
        Check(att->SaveChanges(KEEP_OPEN_READWRITE), "cannot save " + what);
    }
}

// Creates one item in folder and returns its entry id. `label` names it in messages ("the item",
// or "item [3]" of an array).
std::string PutItem(const Session& s, const FolderRef& folder, const Item& item, const std::string& label) {
    ComPtr<IMessage> msg;
    Check(folder.folder->CreateMessage(nullptr, 0, msg.put()),
          "cannot create an item in " + Quote(folder.path));
    if (!msg) throw CommandError(kExitFailure, "the folder returned no item");
    const auto ids = ResolveNames(s, msg.get(), item);
    SetAll(s, msg.get(), item.props, ids, label);
    AddAttachments(s, msg.get(), item, ids, label);
    Check(msg->SaveChanges(KEEP_OPEN_READWRITE), "cannot save " + label);
    return ToHex(EntryIdOf(s.Rt(), msg.get()));
}

// "delete": true belongs to item update; put has nothing to delete.
void RefuseDeletes(const Item& item, const std::string& prefix) {
    auto check = [&](const std::vector<Prop>& props, const std::string& at) {
        for (std::size_t i = 0; i < props.size(); ++i)
            if (props[i].remove)
                throw InputError(at + "[" + std::to_string(i) + "]: \"delete\" applies to item update only");
    };
    const std::string at = prefix.empty() ? "" : prefix + ".";
    check(item.props, at + "properties");
    for (std::size_t a = 0; a < item.attachments.size(); ++a)
        check(item.attachments[a].props, at + "attachments[" + std::to_string(a) + "].properties");
}

}  // namespace

void CmdItemPut(const Options& o, std::ostream& out) {
    // Every item is read and checked, files included, before the first one is written.
    fs::path baseDir;
    const std::string text = ReadInput(o.args.at(1), baseDir);
    bool array = false;
    std::vector<Item> items = ItemsFromJson(text, &array);
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string prefix = array ? "[" + std::to_string(i) + "]" : "";
        RefuseDeletes(items[i], prefix);
        LoadFileValues(items[i], baseDir, prefix);
    }

    Session s(o.profile);
    const FolderRef folder = ResolveFolder(s, o.args.at(0));
    for (std::size_t i = 0; i < items.size(); ++i) {
        const std::string label = array ? "item [" + std::to_string(i) + "]" : "the item";
        // Each id is printed as soon as its item is saved, so that a failure later in an array
        // still reports what was created.
        out << PutItem(s, folder, items[i], label) << std::endl;
    }
}

void CmdItemUpdate(const Options& o, std::ostream& out) {
    fs::path baseDir;
    const std::string text = ReadInput(o.args.at(1), baseDir);
    Item item = ItemFromJson(text);
    for (const auto& a : item.attachments)
        for (std::size_t i = 0; i < a.props.size(); ++i)
            if (a.props[i].remove)
                throw InputError("attachments: \"delete\" applies to the item's own properties");
    LoadFileValues(item, baseDir);

    Session s(o.profile);
    auto [store, msg] = OpenById<IMessage>(s, o.args.at(0), MAPI_MESSAGE, "item");
    const auto ids = ResolveNames(s, msg.get(), item);
    std::vector<Prop> set;
    std::vector<ULONG> removeTags(1, 0);
    for (const auto& p : item.props) {
        if (p.remove)
            removeTags.push_back(TagFor(p, ids));
        else
            set.push_back(p);
    }
    SetAll(s, msg.get(), set, ids, "the item");
    if (removeTags.size() > 1) {
        removeTags[0] = static_cast<ULONG>(removeTags.size() - 1);
        MapiBuffer<SPropProblemArray> problems(s.Rt().mapi.MAPIFreeBuffer);
        Check(msg->DeleteProps(reinterpret_cast<LPSPropTagArray>(removeTags.data()), problems.put()),
              "cannot delete properties of the item");
        for (ULONG k = 0; problems && k < problems->cProblem; ++k)
            if (problems->aProblem[k].scode != MAPI_E_NOT_FOUND)
                ThrowHr("cannot delete a property of the item", problems->aProblem[k].scode);
    }
    AddAttachments(s, msg.get(), item, ids, "the item");
    Check(msg->SaveChanges(KEEP_OPEN_READWRITE), "cannot save the item");
    out << ToHex(EntryIdOf(s.Rt(), msg.get())) << "\n";
}

void CmdItemList(const Options& o, std::ostream& out) {
    Session s(o.profile);
    const FolderRef folder = ResolveFolder(s, o.args.at(0));
    ComPtr<IMAPITable> table;
    Check(folder.folder->GetContentsTable(MAPI_UNICODE, table.put()),
          "cannot open the contents of " + Quote(folder.path));
    SizedSPropTagArray<3> cols = {3, {PR_ENTRYID, PR_MESSAGE_CLASS_W, PR_SUBJECT_W}};
    RowSetPtr rows(s.Rt().mapi.FreeProws);
    Check(s.Rt().mapi.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()),
          "cannot read the contents of " + Quote(folder.path));
    ojson arr = ojson::array();
    for (ULONG i = 0; i < rows.size(); ++i) {
        std::string id;
        std::u16string cls, subject;
        for (ULONG k = 0; k < rows[i].cValues; ++k) {
            const SPropValue& v = rows[i].lpProps[k];
            if (v.ulPropTag == PR_ENTRYID)
                id = ToHex(EntryIdBytes(v.Value.bin));
            else if (v.ulPropTag == PR_MESSAGE_CLASS_W && v.Value.lpszW)
                cls = v.Value.lpszW;
            else if (v.ulPropTag == PR_SUBJECT_W && v.Value.lpszW)
                subject = v.Value.lpszW;
        }
        if (o.json)
            arr.push_back({{"entryId", id}, {"class", Utf16ToJson(cls)}, {"subject", Utf16ToJson(subject)}});
        else
            out << id << "  " << Utf8(cls) << "  " << Utf8(subject) << "\n";
    }
    if (o.json) WriteJson(arr, out);
}

void CmdItemDump(const Options& o, std::ostream& out) {
    Session s(o.profile);
    auto [store, msg] = OpenById<IMessage>(s, o.args.at(0), MAPI_MESSAGE, "item");
    Item item;
    ReadAllProps(s, msg.get(), "the item", item.props, item.computed);

    ComPtr<IMAPITable> table;
    Check(msg->GetAttachmentTable(0, table.put()), "cannot open the attachment table");
    SizedSPropTagArray<1> cols = {1, {PR_ATTACH_NUM}};
    RowSetPtr rows(s.Rt().mapi.FreeProws);
    Check(s.Rt().mapi.HrQueryAllRows(table.get(), cols.get(), nullptr, nullptr, 0, rows.put()),
          "cannot read the attachment table");
    std::vector<ULONG> nums;
    for (ULONG i = 0; i < rows.size(); ++i)
        for (ULONG k = 0; k < rows[i].cValues; ++k)
            if (rows[i].lpProps[k].ulPropTag == PR_ATTACH_NUM) nums.push_back(rows[i].lpProps[k].Value.ul);
    std::sort(nums.begin(), nums.end());
    for (ULONG num : nums) {
        const std::string what = "attachment " + std::to_string(num);
        ComPtr<IAttach> att;
        Check(msg->OpenAttach(num, nullptr, MAPI_BEST_ACCESS, att.put()), "cannot open " + what);
        Attachment a;
        ReadAllProps(s, att.get(), what, a.props, a.computed);
        item.attachments.push_back(std::move(a));
    }

    DumpOptions opts;
    fs::path filesDir, jsonDir;
    std::set<std::string> used;
    if (!o.filesDir.empty()) {
        filesDir = fs::absolute(o.filesDir);
        std::error_code ec;
        fs::create_directories(filesDir, ec);
        if (ec) throw CommandError(kExitFailure, "cannot create " + Quote(o.filesDir) + ": " + ec.message());
        jsonDir = o.output.empty() ? fs::current_path() : fs::absolute(o.output).parent_path();
        opts.externalize = [&](const Prop& p, int attachment,
                               std::string_view bytes) -> std::optional<std::string> {
            const bool isData = attachment >= 0 && !p.named && p.tag == PR_ATTACH_DATA_BIN;
            if (!isData && bytes.size() < kExternalizeBytes) return std::nullopt;
            std::string name;
            if (isData) {
                std::string original;
                for (const auto& q : item.attachments[static_cast<std::size_t>(attachment)].props)
                    if (!q.named && (q.tag == PR_ATTACH_LONG_FILENAME_W ||
                                     (original.empty() && q.tag == PR_ATTACH_FILENAME_W)))
                        original = Utf8(std::get<std::u16string>(q.values.at(0)));
                const std::string safe = SafeFileName(original);
                name = "attach" + std::to_string(attachment) + "-" + (safe.empty() ? "data.bin" : safe);
            } else {
                name =
                    (attachment >= 0 ? "attach" + std::to_string(attachment) + "-" : std::string("item-")) +
                    SafeFileName(DescribeProp(p)) + ".bin";
            }
            name = UniqueFile(name, used);
            const fs::path file = filesDir / name;
            std::ofstream f(file, std::ios::binary | std::ios::trunc);
            f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
            f.close();
            if (!f) throw CommandError(kExitFailure, "cannot write " + Quote(file.string()));
            return fs::proximate(file, jsonDir).generic_string();
        };
    }
    const std::string text = ItemToJson(item, opts);
    if (o.output.empty()) {
        out << text;
        return;
    }
    const fs::path target = fs::absolute(o.output);
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    std::ofstream f(target, std::ios::binary | std::ios::trunc);
    f << text;
    f.close();
    if (!f) throw CommandError(kExitFailure, "cannot write " + Quote(o.output) + ": " + std::strerror(errno));
}

void CmdItemDelete(const Options& o, std::ostream&) {
    Session s(o.profile);
    for (const auto& hex : o.args) {
        auto [store, msg] = OpenById<IMessage>(s, hex, MAPI_MESSAGE, "item");
        MapiBuffer<SPropValue> parent(s.Rt().mapi.MAPIFreeBuffer);
        Check(s.Rt().mapi.HrGetOneProp(msg.get(), PR_PARENT_ENTRYID, parent.put()),
              "cannot find the folder of item " + hex);
        const std::string parentId = EntryIdBytes(parent->Value.bin);
        msg.reset();
        HRESULT hr = S_OK;
        ComPtr<IMAPIFolder> folder = OpenInStore<IMAPIFolder>(store.get(), parentId, MAPI_FOLDER, hr);
        if (!folder) ThrowHr("cannot open the folder of item " + hex, hr);
        std::string id = *FromHex(hex);
        SBinary bin{static_cast<ULONG>(id.size()), reinterpret_cast<LPBYTE>(id.data())};
        ENTRYLIST list{1, &bin};
        hr = folder->DeleteMessages(&list, 0, nullptr, 0);
        if (hr == MAPI_W_PARTIAL_COMPLETION) hr = MAPI_E_NOT_FOUND;
        Check(hr, "cannot delete item " + hex);
    }
}

}  // namespace nx::mapiadmin
