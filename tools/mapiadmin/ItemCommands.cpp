// The item commands: put, update, list, dump and delete items, in the JSON item format.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tools/mapiadmin/CommandSupport.h"
#include "tools/mapiadmin/Commands.h"
#include "tools/mapiadmin/FileIo.h"
#include "tools/mapiadmin/ItemJson.h"
#include "tools/mapiadmin/ItemModel.h"
#include "tools/mapiadmin/JsonText.h"
#include "tools/mapiadmin/PropertyIo.h"
#include "tools/mapiadmin/StoreObjects.h"

namespace nx::mapiadmin {
namespace {

namespace fs = std::filesystem;

// Binary values of at least this size go to files when a dump is given --files.
constexpr std::size_t kExternalizeBytes = 4096;

std::string ReadInput(const std::string& file, fs::path& baseDir) {
    if (file == "-") {
        baseDir = fs::current_path();
        return std::string((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    }
    std::string text;
    if (!ReadWholeFile(file, text))
        throw CommandError(kExitInput, "cannot read " + Quote(file) + ": " + std::strerror(errno));
    baseDir = fs::absolute(PathFromUtf8(file)).parent_path();
    return text;
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

// The item with its properties and its attachments, as a dump writes it.
Item ReadItem(const Session& s, IMessage* msg) {
    Item item;
    ReadAllProps(s, msg, "the item", item.props, item.computed);
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
        const bool embeds = std::any_of(a.props.begin(), a.props.end(), [](const Prop& p) {
            return !p.named && p.tag == PR_ATTACH_METHOD &&
                   std::get<std::int64_t>(p.values.at(0)) == ATTACH_EMBEDDED_MSG;
        });
        ComPtr<IMessage> inner;
        if (embeds &&
            att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0,
                              reinterpret_cast<IUnknown**>(inner.put())) == S_OK &&
            inner) {
            a.embedded.emplace();
            ReadAllProps(s, inner.get(), "the message of " + what, a.embedded->props, a.embedded->computed);
        }
        item.attachments.push_back(std::move(a));
    }
    return item;
}

// The values a dump with --files writes to files: every attachment's data and every other binary
// value of kExternalizeBytes or more, each in a file of its own in DIR, named in the JSON by a
// path relative to the JSON's folder.
class ValueFiles {
public:
    ValueFiles(const std::string& dir, const std::string& output) : m_dir(fs::absolute(PathFromUtf8(dir))) {
        std::error_code ec;
        fs::create_directories(m_dir, ec);
        if (ec) throw CommandError(kExitFailure, "cannot create " + Quote(dir) + ": " + ec.message());
        m_jsonDir = output.empty() ? fs::current_path() : fs::absolute(PathFromUtf8(output)).parent_path();
    }

    // The file's path for the JSON, or nullopt for a value that stays in the JSON.
    std::optional<std::string> Write(const Item& item, const Prop& p, int attachment,
                                     std::string_view bytes) {
        const bool isData = attachment >= 0 && !p.named && p.tag == PR_ATTACH_DATA_BIN;
        if (!isData && bytes.size() < kExternalizeBytes) return std::nullopt;
        const fs::path file = m_dir / PathFromUtf8(UniqueFile(FileName(item, p, attachment, isData), m_used));
        if (!WriteWholeFile(Utf8FromPath(file), bytes))
            throw CommandError(kExitFailure,
                               "cannot write " + Quote(Utf8FromPath(file)) + ": " + std::strerror(errno));
        return Utf8FromPath(fs::proximate(file, m_jsonDir), true);
    }

private:
    // An attachment's data is named after the attachment's file name, any other value after its
    // property.
    static std::string FileName(const Item& item, const Prop& p, int attachment, bool isData) {
        if (!isData)
            return (attachment >= 0 ? "attach" + std::to_string(attachment) + "-" : std::string("item-")) +
                   SafeFileName(DescribeProp(p)) + ".bin";
        std::string original;
        for (const auto& q : item.attachments[static_cast<std::size_t>(attachment)].props)
            if (!q.named &&
                (q.tag == PR_ATTACH_LONG_FILENAME_W || (original.empty() && q.tag == PR_ATTACH_FILENAME_W)))
                original = Utf8(std::get<std::u16string>(q.values.at(0)));
        const std::string safe = SafeFileName(original);
        return "attach" + std::to_string(attachment) + "-" + (safe.empty() ? "data.bin" : safe);
    }

    fs::path m_dir, m_jsonDir;
    std::set<std::string> m_used;
};

// Adds the item's attachments to msg.
void AddAttachments(const Session& s, IMessage* msg, const Item& item, const NamedIds& ids,
                    const std::string& label) {
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
        if (const auto& embedded = item.attachments[i].embedded) {
            // The embedded message is saved first, then its attachment, then the item.
            ComPtr<IMessage> inner;
            Check(att->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE | MAPI_MODIFY,
                                    reinterpret_cast<IUnknown**>(inner.put())),
                  "cannot create the message of " + what);
            if (!inner) throw CommandError(kExitFailure, "no message came back for " + what);
            SetAll(s, inner.get(), embedded->props, ids, "the message of " + what);
            Check(inner->SaveChanges(KEEP_OPEN_READWRITE), "cannot save the message of " + what);
        }
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
    for (std::size_t a = 0; a < item.attachments.size(); ++a) {
        const std::string where = at + "attachments[" + std::to_string(a) + "]";
        check(item.attachments[a].props, where + ".properties");
        if (item.attachments[a].embedded)
            check(item.attachments[a].embedded->props, where + ".embeddedMessage.properties");
    }
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
    auto [store, msg] = OpenById<IMessage>(s, o.args.at(0), "item");
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
    auto [store, msg] = OpenById<IMessage>(s, o.args.at(0), "item");
    const Item item = ReadItem(s, msg.get());
    DumpOptions opts;
    std::optional<ValueFiles> files;
    if (!o.filesDir.empty()) {
        files.emplace(o.filesDir, o.output);
        opts.externalize = [&](const Prop& p, int attachment, std::string_view bytes) {
            return files->Write(item, p, attachment, bytes);
        };
    }
    const std::string text = ItemToJson(item, opts);
    if (o.output.empty()) {
        out << text;
        return;
    }
    const fs::path target = fs::absolute(PathFromUtf8(o.output));
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (!WriteWholeFile(Utf8FromPath(target), text))
        throw CommandError(kExitFailure, "cannot write " + Quote(o.output) + ": " + std::strerror(errno));
}

void CmdItemDelete(const Options& o, std::ostream&) {
    Session s(o.profile);
    for (const auto& hex : o.args) {
        auto [store, msg] = OpenById<IMessage>(s, hex, "item");
        MapiBuffer<SPropValue> parent(s.Rt().mapi.MAPIFreeBuffer);
        Check(s.Rt().mapi.HrGetOneProp(msg.get(), PR_PARENT_ENTRYID, parent.put()),
              "cannot find the folder of item " + hex);
        const std::string parentId = EntryIdBytes(parent->Value.bin);
        msg.reset();
        HRESULT hr = S_OK;
        ComPtr<IMAPIFolder> folder = OpenAs<IMAPIFolder>(store.get(), parentId, hr);
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
