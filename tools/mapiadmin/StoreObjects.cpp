#include "tools/mapiadmin/StoreObjects.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "platform/system/Utf.h"
#include "tools/mapiadmin/ItemModel.h"

namespace nx::mapiadmin {
namespace {

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

}  // namespace

template <class T>
std::pair<ComPtr<IMsgStore>, ComPtr<T>> OpenById(const Session& s, const std::string& hex, const char* what) {
    const auto id = FromHex(hex);
    if (!id || id->empty()) throw CommandError(kExitUsage, Quote(hex) + " is not an entry id in hex");
    for (const auto& st : s.Profile().stores) {
        ComPtr<IMsgStore> store = s.OpenStore(StoreIdBytes(st));
        HRESULT hr = S_OK;
        ComPtr<T> obj = OpenAs<T>(store.get(), *id, hr);
        if (obj) return {std::move(store), std::move(obj)};
        if (hr != MAPI_E_NOT_FOUND && hr != MAPI_E_INVALID_ENTRYID && hr != MAPI_E_UNKNOWN_ENTRYID)
            ThrowHr(std::string("cannot open ") + what + " " + hex, hr);
    }
    throw CommandError(kExitNotFound, std::string("no ") + what + " with entry id " + hex + " in profile " +
                                          Quote(s.Profile().name));
}
template std::pair<ComPtr<IMsgStore>, ComPtr<IMAPIFolder>> OpenById(const Session&, const std::string&,
                                                                    const char*);
template std::pair<ComPtr<IMsgStore>, ComPtr<IMessage>> OpenById(const Session&, const std::string&,
                                                                 const char*);

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

FolderRef OpenRoot(const Session& s, const StoreInfo& st) {
    FolderRef ref;
    ref.store = s.OpenStore(StoreIdBytes(st));
    HRESULT hr = S_OK;
    ref.folder = OpenAs<IMAPIFolder>(ref.store.get(), "", hr);
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
        ComPtr<IMAPIFolder> f = OpenAs<IMAPIFolder>(ref.store.get(), *found, hr);
        if (!f) ThrowHr("cannot open folder " + Quote(JoinPath(parts, i + 1)), hr);
        ref.folder = std::move(f);
        ref.entryId = *found;
        ref.path = JoinPath(parts, i + 1);
    }
    return parts.size();
}

FolderRef ResolveFolder(const Session& s, const std::string& arg) {
    if (LooksLikeEntryId(arg)) {
        auto [store, folder] = OpenById<IMAPIFolder>(s, arg, "folder");
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

}  // namespace nx::mapiadmin
