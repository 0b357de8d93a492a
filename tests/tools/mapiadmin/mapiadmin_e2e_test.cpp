// End-to-end tests of mapiadmin: the real tool, the real runtime (libmapi32.so) and real stores in
// a temporary world (XDG_CONFIG_HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR point into a fresh folder
// for each test).
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/system/Utf.h"
#include "tests/support/Process.h"
#include "tools/mapiadmin/ItemJson.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace nx::mapiadmin;

namespace {

const std::string kTop = "Personal Folders/Top of Personal Folders";

using Result = nx::test::ProcessResult;
using nx::test::ReadWholeFile;

void WriteFile(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

class MapiAdmin : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/mapiadmin_e2e_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_world = tmpl;
        for (const char* d : {"config", "data", "runtime", "work"}) fs::create_directories(m_world / d);
        fs::permissions(m_world / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    }
    void TearDown() override { fs::remove_all(m_world); }

    fs::path Work() const { return m_world / "work"; }

    // Runs mapiadmin with args in the test's world, in its work folder; stdin from `input`.
    Result Run(const std::vector<std::string>& args, const std::string& input = "") {
        const std::string in = (m_world / "stdin").string(), work = Work().string();
        WriteFile(in, input);
        std::vector<std::string> argv = {NX_BIN_DIR "/mapiadmin"};
        argv.insert(argv.end(), args.begin(), args.end());
        nx::test::SpawnOptions options;
        options.env = {{"XDG_CONFIG_HOME", (m_world / "config").string()},
                       {"XDG_DATA_HOME", (m_world / "data").string()},
                       {"XDG_RUNTIME_DIR", (m_world / "runtime").string()}};
        options.in = in;
        options.workFolder = work;
        return nx::test::RunProcess(argv, 120, std::move(options));
    }

    // Runs and expects success; returns stdout without its final newline.
    std::string Ok(const std::vector<std::string>& args, const std::string& input = "") {
        const Result r = Run(args, input);
        EXPECT_EQ(r.exitCode, 0) << args[0] << " " << (args.size() > 1 ? args[1] : "") << "\n" << r.err;
        std::string s = r.out;
        if (!s.empty() && s.back() == '\n') s.pop_back();
        return s;
    }

    // Folder path -> {class, entry id} from "folder list --json".
    std::map<std::string, std::pair<std::string, std::string>> FolderMap() {
        std::map<std::string, std::pair<std::string, std::string>> out;
        const json tree = json::parse(Ok({"folder", "list", "--json"}));
        std::function<void(const json&, const std::string&)> walk = [&](const json& folders,
                                                                        const std::string& at) {
            for (const auto& f : folders) {
                std::string name;
                for (char c : f["name"].get<std::string>()) {
                    if (c == '/' || c == '\\') name += '\\';
                    name += c;
                }
                const std::string path = at + "/" + name;
                out[path] = {f["class"].is_null() ? "" : f["class"].get<std::string>(),
                             f["entryId"].get<std::string>()};
                walk(f["folders"], path);
            }
        };
        for (const auto& store : tree) walk(store["folders"], store["name"].get<std::string>());
        return out;
    }

    fs::path m_world;
};

TEST_F(MapiAdmin, InitCreatesTheDefaultWorldAndListsItsFolders) {
    const Result none = Run({"folder", "list"});
    EXPECT_EQ(none.exitCode, 4);
    EXPECT_NE(none.err.find("no profile is configured"), std::string::npos) << none.err;

    Ok({"init"});
    EXPECT_EQ(Ok({"profile", "list"}), "Outlook  (default)");
    const json stores = json::parse(Ok({"store", "list", "--json"}));
    ASSERT_EQ(stores.size(), 1u);
    EXPECT_EQ(stores[0]["name"], "Personal Folders");
    EXPECT_EQ(stores[0]["default"], true);

    const auto folders = FolderMap();
    const std::pair<const char*, const char*> expected[] = {
        {"Inbox", "IPF.Note"},  {"Calendar", "IPF.Appointment"}, {"Contacts", "IPF.Contact"},
        {"Tasks", "IPF.Task"},  {"Journal", "IPF.Journal"},      {"Notes", "IPF.StickyNote"},
        {"Drafts", "IPF.Note"}, {"Sent Items", "IPF.Note"},      {"Deleted Items", "IPF.Note"},
    };
    for (const auto& [name, cls] : expected) {
        const auto it = folders.find(kTop + "/" + name);
        ASSERT_NE(it, folders.end()) << name;
        EXPECT_EQ(it->second.first, cls) << name;
        EXPECT_EQ(it->second.second.find_first_not_of("0123456789ABCDEF"), std::string::npos)
            << it->second.second;
        // The text listing shows the same folder with its class and id; "folder show" finds it by path.
        EXPECT_EQ(Ok({"folder", "show", kTop + "/" + name}), it->second.second);
    }
    const std::string text = Ok({"folder", "list"});
    EXPECT_NE(text.find("    Contacts  [IPF.Contact]  " + folders.at(kTop + "/Contacts").second),
              std::string::npos)
        << text;

    const Result again = Run({"init"});
    EXPECT_EQ(again.exitCode, 5);
    EXPECT_NE(again.err.find("already exists"), std::string::npos);
}

TEST_F(MapiAdmin, CreatesADeepTreeOfMixedClasses) {
    Ok({"init"});
    struct Case {
        std::string path, cls;
    };
    const Case cases[] = {
        {kTop + "/Contacts/Friends", "IPF.Contact"},
        {kTop + "/Contacts/Friends/Close/Closest", "IPF.Contact"},
        {kTop + "/Contacts/Meetings", "IPF.Appointment"},
        {kTop + "/Calendar/Holidays", "IPF.Appointment"},
        {kTop + "/Calendar/Holidays/Notes in a calendar", "IPF.StickyNote"},
        {kTop + "/Inbox/a\\/b \\\\ c", "IPF.Note"},
        {kTop + "/Caf\xC3\xA9 \xF0\x9F\x98\x80", "IPF.Contact"},
    };
    std::map<std::string, std::string> ids;
    for (const auto& c : cases) ids[c.path] = Ok({"folder", "create", c.path, "--class", c.cls, "--parents"});
    // Without --parents an existing folder or a missing parent is an error.
    EXPECT_EQ(Run({"folder", "create", kTop + "/Contacts/Friends", "--class", "IPF.Contact"}).exitCode, 5);
    EXPECT_EQ(Run({"folder", "create", kTop + "/Nope/Sub"}).exitCode, 4);
    // With --parents an existing folder is found again.
    EXPECT_EQ(Ok({"folder", "create", kTop + "/Contacts/Friends", "--parents"}),
              ids[kTop + "/Contacts/Friends"]);

    const auto folders = FolderMap();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        ASSERT_TRUE(folders.count(c.path));
        EXPECT_EQ(folders.at(c.path).first, c.cls);
        EXPECT_EQ(folders.at(c.path).second, ids[c.path]);
        EXPECT_EQ(Ok({"folder", "show", ids[c.path]}), ids[c.path]);
    }
    // Intermediate folders made by --parents get the class given.
    EXPECT_EQ(folders.at(kTop + "/Contacts/Friends/Close").first, "IPF.Contact");
    // A listing below one folder shows its sub-tree only.
    const std::string sub = Ok({"folder", "list", kTop + "/Calendar"});
    EXPECT_NE(sub.find("Notes in a calendar  [IPF.StickyNote]"), std::string::npos) << sub;
    EXPECT_EQ(sub.find("Contacts"), std::string::npos) << sub;

    // Deleting a folder takes its sub-tree and items with it; the root goes only with its store.
    Ok({"item", "put", kTop + "/Contacts/Friends/Close", "-"}, R"({"properties": []})");
    Ok({"folder", "delete", kTop + "/Contacts/Friends"});
    const auto after = FolderMap();
    EXPECT_FALSE(after.count(kTop + "/Contacts/Friends"));
    EXPECT_FALSE(after.count(kTop + "/Contacts/Friends/Close"));
    EXPECT_TRUE(after.count(kTop + "/Contacts/Meetings"));
    EXPECT_EQ(Run({"folder", "show", ids[kTop + "/Contacts/Friends/Close/Closest"]}).exitCode, 4);
    EXPECT_EQ(Run({"folder", "delete", kTop + "/Contacts/Friends"}).exitCode, 4);
    EXPECT_EQ(Run({"folder", "delete", "Personal Folders"}).exitCode, 2);
}

// An item with a value of every type, named properties by id and by string, a binary from a
// file and a photo attachment larger than a table returns.
std::string EveryTypeItem() {
    return R"({
  "properties": [
    {"tag": "PR_MESSAGE_CLASS_W", "value": "IPM.Contact"},
    {"tag": "PR_SUBJECT_W", "value": "Ann \ud83d\ude00 lone \udc00 high \ud800"},
    {"tag": "PR_BODY_W", "file": "body.txt"},
    {"tag": "PR_GENDER", "value": -2},
    {"tag": "PR_IMPORTANCE", "value": 2},
    {"tag": "PR_SENSITIVITY", "value": 4294967295},
    {"tag": "0x6601000B", "value": true},
    {"tag": "0x66020005", "value": 3.141592653589793},
    {"tag": "0x66030004", "value": 0.5},
    {"tag": "0x66040014", "value": -9223372036854775807},
    {"tag": "0x66050006", "value": 123456789},
    {"tag": "0x66060007", "value": 45000.25},
    {"tag": "PR_BIRTHDAY", "value": "1975-06-30T00:00:00Z"},
    {"tag": "PR_WEDDING_ANNIVERSARY", "value": 130000000000000001},
    {"tag": "0x6607001E", "value": "eight-bit"},
    {"tag": "0x66080102", "file": "blob.bin"},
    {"tag": "0x66090048", "value": "{00062004-0000-0000-C000-000000000046}"},
    {"tag": "PR_CHILDRENS_NAMES_W", "value": ["Bo", "\udfff", ""]},
    {"tag": "0x660A1003", "value": [1, -1, 2147483647]},
    {"tag": "0x660B1102", "value": ["", "00FF"]},
    {"tag": "0x660C1040", "value": ["2000-01-01T00:00:00Z"]},
    {"named": "PidLidEmail1AddressType", "value": "EX"},
    {"set": "PSETID_Address", "id": "0x8083", "type": "PT_UNICODE", "value": "/o=Org/ou=Site/cn=Recipients/cn=ann"},
    {"named": "PidLidInstantMessagingAddress", "value": "SKYPE:ann.s"},
    {"named": "PidLidHasPicture", "value": true},
    {"named": "PidLidAppointmentRecur", "value": "043004300A20000000000000"},
    {"set": "PS_PUBLIC_STRINGS", "name": "Keywords", "type": "PT_MV_UNICODE", "value": ["red", "blue"]},
    {"set": "{11111111-2222-3333-4444-555555555555}", "name": "custom \udc01", "type": "PT_LONG", "value": 7}
  ],
  "attachments": [
    {"properties": [
      {"tag": "PR_ATTACHMENT_CONTACTPHOTO", "value": true},
      {"tag": "PR_ATTACH_METHOD", "value": 1},
      {"tag": "PR_ATTACH_LONG_FILENAME_W", "value": "ContactPicture.jpg"},
      {"tag": "PR_ATTACH_DATA_BIN", "file": "photo.jpg"}
    ]},
    {"properties": [
      {"tag": "PR_ATTACH_LONG_FILENAME_W", "value": "small.txt"},
      {"tag": "PR_ATTACH_DATA_BIN", "value": "68656C6C6F"}
    ]}
  ]
})";
}

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// The settable part of a dump, files loaded, for comparing items.
Item Settable(const std::string& text, const fs::path& base) {
    Item item = ItemFromJson(text);
    LoadFileValues(item, base);
    item.computed.clear();
    for (auto& a : item.attachments) {
        a.computed.clear();
        if (a.embedded) a.embedded->computed.clear();
    }
    return item;
}

// How the store keeps a written property: 8-bit text as Unicode (it answers PT_STRING8 requests
// from that), everything else as written.
Prop AsStored(const Prop& written) {
    if (written.Type() != kPtString8) return written;
    Prop p = written;
    p.tag = MakeTag(PropIdOf(written.tag), kPtUnicode);
    p.values = {nx::sys::Utf8ToUtf16(std::get<std::string>(written.values.at(0)))};
    return p;
}

const Prop* Find(const std::vector<Prop>& props, const Prop& like) {
    for (const auto& p : props)
        if (p.tag == like.tag && p.named == like.named) return &p;
    return nullptr;
}

TEST_F(MapiAdmin, PutAndDumpRoundTripEveryType) {
    Ok({"init"});
    const std::string photo = RandomBytes(1 << 20, 1);
    const std::string blob = RandomBytes(70000, 2);
    const std::string body = "Line one\r\nLine two \xF0\x9F\x98\x80 " + std::string(100000, 'x');
    WriteFile(Work() / "photo.jpg", photo);
    WriteFile(Work() / "blob.bin", blob);
    WriteFile(Work() / "body.txt", body);
    WriteFile(Work() / "item.json", EveryTypeItem());

    const std::string id = Ok({"item", "put", kTop + "/Contacts", "item.json"});
    ASSERT_FALSE(id.empty());
    EXPECT_EQ(id.find_first_not_of("0123456789ABCDEF"), std::string::npos);

    // Every property written reads back with its value (the dump may hold more, set by the store).
    const std::string dump = Ok({"item", "dump", id});
    const Item in = Settable(EveryTypeItem(), Work());
    const Item out = Settable(dump, Work());
    auto expectStored = [&](const std::vector<Prop>& written, const std::vector<Prop>& read) {
        for (const auto& w : written) {
            const Prop want = AsStored(w);
            SCOPED_TRACE(DescribeProp(want));
            const Prop* got = Find(read, want);
            ASSERT_NE(got, nullptr) << dump.substr(0, 2000);
            EXPECT_TRUE(got->values == want.values);
        }
    };
    expectStored(in.props, out.props);
    ASSERT_EQ(out.attachments.size(), 2u);
    for (std::size_t a = 0; a < 2; ++a) expectStored(in.attachments[a].props, out.attachments[a].props);
    EXPECT_NE(dump.find("\\uDC00 high \\uD800\""), std::string::npos);
    EXPECT_NE(dump.find("\"computed\""), std::string::npos);

    // put(dump(x)) gives an equal item, inline and with the data in files.
    WriteFile(Work() / "dump.json", dump);
    const std::string id2 = Ok({"item", "put", kTop + "/Contacts", "dump.json"});
    EXPECT_NE(id2, id);
    EXPECT_EQ(Settable(Ok({"item", "dump", id2}), Work()), out);

    Ok({"item", "dump", id, "-o", "out/dumped.json", "--files", "files"});
    const std::string withFiles = ReadWholeFile(Work() / "out/dumped.json");
    EXPECT_NE(withFiles.find("\"file\": \"../files/attach0-ContactPicture.jpg\""), std::string::npos)
        << withFiles;
    EXPECT_EQ(ReadWholeFile(Work() / "files/attach0-ContactPicture.jpg"), photo);
    const std::string id3 = Ok({"item", "put", kTop + "/Inbox", "out/dumped.json"});
    EXPECT_EQ(Settable(Ok({"item", "dump", id3}), Work()), out);

    // The same item from standard input; item list shows the items of the folder.
    const std::string id4 = Ok({"item", "put", kTop + "/Inbox", "-"}, dump);
    const std::string list = Ok({"item", "list", kTop + "/Inbox"});
    EXPECT_NE(list.find(id3 + "  IPM.Contact  Ann"), std::string::npos) << list;
    EXPECT_NE(list.find(id4), std::string::npos) << list;
}

TEST_F(MapiAdmin, PutsAndDumpsTheMessageAnAttachmentEmbeds) {
    Ok({"init"});
    const std::string item = R"({"properties": [{"tag": "PR_MESSAGE_CLASS_W", "value": "IPM.Appointment"}],
  "attachments": [{"properties": [{"tag": "PR_ATTACH_METHOD", "value": 5}],
                   "embeddedMessage": {"properties": [{"tag": "PR_SUBJECT_W", "value": "inner"},
                                                      {"named": "PidLidLocation", "value": "Room 7"}]}},
                  {"properties": [{"tag": "PR_ATTACH_METHOD", "value": 1}]}]})";
    WriteFile(Work() / "embeds.json", item);
    const std::string id = Ok({"item", "put", kTop + "/Calendar", "embeds.json"});
    const std::string dump = Ok({"item", "dump", id});
    const Item out = Settable(dump, Work());
    ASSERT_EQ(out.attachments.size(), 2u) << dump;
    ASSERT_TRUE(out.attachments[0].embedded) << dump;
    EXPECT_EQ(out.attachments[0].embedded->props, Settable(item, Work()).attachments[0].embedded->props);
    EXPECT_FALSE(out.attachments[1].embedded);
    // put(dump(x)) gives an equal item, the embedded message included.
    WriteFile(Work() / "dump.json", dump);
    EXPECT_EQ(Settable(Ok({"item", "dump", Ok({"item", "put", kTop + "/Calendar", "dump.json"})}), Work()),
              out);
}

TEST_F(MapiAdmin, DeletesItems) {
    Ok({"init"});
    const std::string item = R"({"properties": [{"tag": "PR_SUBJECT_W", "value": "x"}]})";
    const std::string a = Ok({"item", "put", kTop + "/Calendar", "-"}, item);
    const std::string b = Ok({"item", "put", kTop + "/Calendar", "-"}, item);
    const std::string c = Ok({"item", "put", kTop + "/Tasks", "-"}, item);
    Ok({"item", "delete", a, c});
    const std::string calendar = Ok({"item", "list", kTop + "/Calendar"});
    EXPECT_EQ(calendar.find(a), std::string::npos);
    EXPECT_NE(calendar.find(b), std::string::npos);
    EXPECT_EQ(Ok({"item", "list", kTop + "/Tasks"}), "");
    EXPECT_EQ(Run({"item", "dump", a}).exitCode, 4);
    EXPECT_EQ(Run({"item", "delete", a}).exitCode, 4);
}

TEST_F(MapiAdmin, PutsAnArrayOfItemsAllOrNothingOnBadInput) {
    Ok({"init"});
    const std::string tasks = kTop + "/Tasks";
    const std::string bad = R"([{"properties": [{"tag": "PR_SUBJECT_W", "value": "one"}]},
                                {"properties": [{"tag": "PR_BODY_W", "file": "missing.txt"}]}])";
    const Result r = Run({"item", "put", tasks, "-"}, bad);
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_NE(r.err.find("<stdin>: [1].properties[0].file: cannot read"), std::string::npos) << r.err;
    EXPECT_EQ(Ok({"item", "list", tasks}), "");

    std::string many = "[";
    for (int i = 0; i < 5; ++i)
        many += std::string(i ? "," : "") + R"({"properties": [{"tag": "PR_SUBJECT_W", "value": "t)" +
                std::to_string(i) + "\"}]}";
    many += "]";
    const std::string ids = Ok({"item", "put", tasks, "-"}, many + "\n");
    const std::string list = Ok({"item", "list", tasks});
    std::size_t n = 0;
    for (std::size_t at = 0, next; at < ids.size(); at = next + 1, ++n) {
        next = ids.find('\n', at);
        if (next == std::string::npos) next = ids.size();
        EXPECT_NE(list.find(ids.substr(at, next - at) + "    t" + std::to_string(n)), std::string::npos)
            << list;
    }
    EXPECT_EQ(n, 5u);
}

TEST_F(MapiAdmin, UpdatesAnItemInPlace) {
    Ok({"init"});
    const std::string id = Ok({"item", "put", kTop + "/Contacts", "-"}, R"({"properties": [
        {"tag": "PR_SUBJECT_W", "value": "before"},
        {"tag": "PR_BODY_W", "value": "body"},
        {"named": "PidLidFileUnder", "value": "Smith, Ann"}]})");
    const std::string updated = Ok({"item", "update", id, "-"}, R"({"properties": [
        {"tag": "PR_SUBJECT_W", "value": "after"},
        {"tag": "PR_BODY_W", "delete": true},
        {"named": "PidLidFileUnder", "delete": true},
        {"named": "PidLidInstantMessagingAddress", "value": "QQ:1"},
        {"tag": "PR_LAST_MODIFICATION_TIME", "value": "2030-01-02T03:04:05Z"}],
      "attachments": [{"properties": [{"tag": "PR_ATTACH_DATA_BIN", "value": "0102"}]}]})");
    EXPECT_EQ(updated, id);
    const Item item = ItemFromJson(Ok({"item", "dump", id}));
    auto has = [&](const std::string& entry) {
        const Prop want = ItemFromJson("{\"properties\": [" + entry + "]}").props.at(0);
        const Prop* got = Find(item.props, want);
        return got && got->values == want.values;
    };
    EXPECT_TRUE(has(R"({"tag": "PR_SUBJECT_W", "value": "after"})"));
    EXPECT_TRUE(has(R"({"named": "PidLidInstantMessagingAddress", "value": "QQ:1"})"));
    EXPECT_FALSE(
        Find(item.props, ItemFromJson(R"({"properties": [{"tag": "PR_BODY_W", "value": ""}]})").props[0]));
    EXPECT_FALSE(Find(
        item.props, ItemFromJson(R"({"properties": [{"named": "PidLidFileUnder", "value": ""}]})").props[0]));
    ASSERT_EQ(item.attachments.size(), 1u);
    bool stamped = false;
    for (const auto& p : item.computed)
        stamped = stamped ||
                  (p.tag == 0x30080040 &&
                   p.values.at(0) == Scalar{static_cast<std::int64_t>(*ParseIsoUtc("2030-01-02T03:04:05Z"))});
    EXPECT_TRUE(stamped) << "the explicit modification time was not kept";

    const Result put = Run({"item", "put", kTop + "/Contacts", "-"},
                           R"({"properties": [{"tag": "PR_BODY_W", "delete": true}]})");
    EXPECT_EQ(put.exitCode, 3);
    EXPECT_NE(put.err.find("applies to item update only"), std::string::npos) << put.err;
    EXPECT_EQ(Run({"item", "update", "00112233445566778899", "-"}, "{}").exitCode, 4);
}

// A world that mapiadmin of store format 1 made (tests/platform/mapi32/format1_world): the store
// lists as format 1 until a session opens it, which upgrades it in place; every item then dumps
// exactly as that mapiadmin dumped it, and the store takes changes.
TEST_F(MapiAdmin, UpgradesAStoreOfTheFormatBeforeInPlace) {
    const fs::path fixture = fs::path(NX_SOURCE_DIR) / "tests/platform/mapi32/format1_world";
    fs::copy(fixture / "nxmapi", m_world / "data" / "nxmapi", fs::copy_options::recursive);
    const auto format = [&] { return json::parse(Ok({"store", "list", "--json"}))[0]["format"]; };
    EXPECT_EQ(format(), 1);
    EXPECT_NE(Ok({"store", "list"}).find("  format 1"), std::string::npos);

    std::vector<std::string> ids;
    for (const char* folder : {"/Contacts", "/Calendar"}) {
        std::istringstream list(Ok({"item", "list", kTop + folder}));
        for (std::string line; std::getline(list, line);) ids.push_back(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(format(), 2);
    ASSERT_EQ(ids.size(), 6u);
    for (std::size_t i = 0; i < ids.size(); ++i) {
        SCOPED_TRACE(i);
        const fs::path dump = Work() / ("item" + std::to_string(i) + ".json");
        Ok({"item", "dump", ids[i], "-o", dump.string()});
        EXPECT_TRUE(ReadWholeFile(dump) ==
                    ReadWholeFile(fixture / "dumps" / ("item" + std::to_string(i) + ".json")));
    }
    Ok({"item", "update", ids[1], "-"},
       R"({"properties": [{"tag": "PR_SUBJECT_W", "value": "Bob Stoner"}]})");
    EXPECT_NE(Ok({"item", "list", kTop + "/Contacts"}).find("Bob Stoner"), std::string::npos);
    EXPECT_EQ(format(), 2);
}

TEST_F(MapiAdmin, ProfilesAndStores) {
    Ok({"init"});
    Ok({"profile", "create", "Work"});
    const std::string archive = Ok({"--profile", "Work", "store", "create", "Archive", "--longterm-ids"});
    Ok({"--profile", "Work", "store", "create", "Main", "--default", "--standard-folders"});
    const json stores = json::parse(Ok({"--profile=Work", "store", "list", "--json"}));
    ASSERT_EQ(stores.size(), 2u);
    EXPECT_EQ(stores[0]["name"], "Archive");
    EXPECT_EQ(stores[0]["entryId"], archive);
    EXPECT_EQ(stores[0]["longTermIds"], true);
    EXPECT_EQ(stores[0]["default"], false);
    EXPECT_EQ(stores[1]["default"], true);
    // Folders of the other profile's stores are addressed through --profile.
    EXPECT_EQ(Run({"folder", "show", "Main/Top of Personal Folders/Contacts"}).exitCode, 4);
    Ok({"--profile", "Work", "folder", "show", "Main/Top of Personal Folders/Contacts"});

    Ok({"profile", "set-default", "Work"});
    EXPECT_EQ(Ok({"profile", "list"}), "Outlook\nWork  (default)");
    Ok({"store", "delete", "Archive"});
    EXPECT_EQ(json::parse(Ok({"store", "list", "--json"})).size(), 1u);
    Ok({"profile", "delete", "Work"});
    EXPECT_EQ(Run({"profile", "delete", "Work"}).exitCode, 4);
    EXPECT_EQ(Ok({"profile", "list"}), "Outlook  (default)");
}

TEST_F(MapiAdmin, ErrorsHaveClearMessagesAndExitCodes) {
    Ok({"init"});
    WriteFile(Work() / "bad.json",
              "{\n  \"properties\": [\n    {\"tag\": \"PR_SUBJECT_W\" \"value\": 1}\n  ]\n}\n");
    WriteFile(Work() / "unknown.json", R"({"properties": [{"tag": "PR_SUBJEKT_W", "value": "x"}]})");
    WriteFile(Work() / "nofile.json", R"({"properties": [{"tag": "PR_BODY_W", "file": "missing.txt"}]})");
    struct Case {
        std::vector<std::string> args;
        int exitCode;
        const char* message;
    };
    const Case cases[] = {
        {{"--profile", "Nope", "folder", "list"}, 4, "unknown profile \"Nope\""},
        {{"folder", "show", kTop + "/Nope"},
         4,
         "folder not found: \"Personal Folders/Top of Personal Folders/Nope\""},
        {{"folder", "show", "No Store/x"}, 4, "no store \"No Store\""},
        {{"item", "put", kTop + "/Contacts", "bad.json"}, 3, "bad.json: line 3, column 28"},
        {{"item", "put", kTop + "/Contacts", "unknown.json"}, 3, "unknown property \"PR_SUBJEKT_W\""},
        {{"item", "put", kTop + "/Contacts", "nofile.json"}, 3, "properties[0].file: cannot read"},
        {{"item", "put", kTop + "/Contacts", "absent.json"}, 3, "cannot read \"absent.json\""},
        {{"item", "put", kTop + "/Nope", "unknown.json"}, 3, "PR_SUBJEKT_W"},
        {{"item", "dump", "0011223344556677"}, 4, "no item with entry id"},
        {{"item", "dump", "xyz"}, 2, "not an entry id"},
        {{"item", "frobnicate"}, 2, "unknown command \"item frobnicate\""},
        {{"item", "dump"}, 2, "missing arguments"},
        {{"profile", "list", "--class", "x"}, 2, "does not apply"},
        {{"profile", "create", "Outlook"}, 5, "already exists"},
        {{"folder", "create", kTop + "/Inbox"}, 5, "already exists"},
        {{"folder", "create", "Personal Folders"}, 2, "at least one folder"},
        {{"folder", "show", "a//b"}, 2, "is not a folder path"},
    };
    for (const auto& c : cases) {
        const Result r = Run(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

}  // namespace
