// The folder commands: list, show, create and delete folders of the profile's stores.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/system/Utf.h"
#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/Commands.h"
#include "tools/mapiadmin/ItemModel.h"
#include "tools/mapiadmin/JsonText.h"
#include "tools/mapiadmin/StoreObjects.h"

namespace nx::mapiadmin {
namespace {

// A folder deeper than this is taken for a corrupt hierarchy.
constexpr int kMaxDepth = 256;

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

void FolderTreeText(const Session& s, IMAPIFolder* folder, int depth, std::ostream& out) {
    if (depth > kMaxDepth)
        throw CommandError(kExitFailure, "the folder hierarchy is deeper than " + std::to_string(kMaxDepth));
    for (const auto& c : ChildFolders(s.Rt(), folder)) {
        out << std::string(static_cast<std::size_t>(depth) * 2, ' ') << Utf8(c.name) << "  ["
            << (c.containerClass ? Utf8(*c.containerClass) : "") << "]  " << ToHex(c.entryId) << "\n";
        HRESULT hr = S_OK;
        ComPtr<IMAPIFolder> child = OpenAs<IMAPIFolder>(folder, c.entryId, hr);
        if (!child) {
            Warn("cannot open folder " + Quote(Utf8(c.name)) + ": " + HrText(hr));
            continue;
        }
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
        HRESULT hr = S_OK;
        if (ComPtr<IMAPIFolder> child = OpenAs<IMAPIFolder>(folder, c.entryId, hr)) {
            node["folders"] = FolderTreeJson(s, child.get(), depth + 1);
        } else {
            Warn("cannot open folder " + Quote(Utf8(c.name)) + ": " + HrText(hr));
            node["folders"] = ojson::array();
        }
        arr.push_back(std::move(node));
    }
    return arr;
}

}  // namespace

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
    ComPtr<IMAPIFolder> up = OpenAs<IMAPIFolder>(ref.store.get(), parentId, open);
    if (!up) ThrowHr("cannot open the parent of " + Quote(o.args[0]), open);
    std::string id = ref.entryId;
    Check(up->DeleteFolder(static_cast<ULONG>(id.size()), AsEntryId(id), 0, nullptr,
                           DEL_FOLDERS | DEL_MESSAGES),
          "cannot delete folder " + Quote(o.args[0]));
}

}  // namespace nx::mapiadmin
