// The MAPI helpers: folder type codes, the event-id extraction and flags as tables, and the open
// helpers against the real runtime in a temporary world.
#include <gtest/gtest.h>

#include <string>

#include "common/Encoding.h"
#include "common/MapiHelpers.h"
#include "mapi/FolderWalk.h"
#include "mapi/MAPIObject.h"
#include "tests/mapi/MapiTestWorld.h"

namespace {

using namespace NAMESPACE_COMMON;

TEST(GetFolderTypeCode, ExactCaseSensitiveWholeClass) {
    const struct {
        const char* cls;
        uint32_t code;
    } cases[] = {
        {"IPF.Note", 0},
        {"IPF.Appointment", 1},
        {"IPF.Contact", 2},
        {"IPF.Task", 3},
        {"IPF.Journal", 4},
        {"IPF.StickyNote", 5},
        {"IPF.Post", 6},
        {"", 6},
        {"IPF.Contact.Sub", 6},
        {"ipf.contact", 6},
        {"IPF.Note.Derived", 6},
        {"IPF.Contac", 6},
        {" IPF.Contact", 6},
        {"IPF.Contact ", 6},
        {"IPF", 6},
    };
    for (const auto& c : cases) EXPECT_EQ(GetFolderTypeCode(c.cls), c.code) << '"' << c.cls << '"';
}

TEST(ExtractEventId, ShapesOfTheHostText) {
    const struct {
        std::string text;
        std::string out;
    } cases[] = {
        {"", ""},
        {"no tags at all", ""},
        {"<event></event>", ""},                            // nothing between the tags
        {"<event>ABCD</event>", "ABCD"},                    // bare id
        {"  <event>ABCD</event>\r\n", "ABCD"},              // trimmed before the search
        {"<event><id>ABCD</id></event>", "<id>ABCD</id>"},  // the id form inside
        {"<id><event>ABCD</event></id>", "<id>ABCD</id>"},  // wrapped: re-wrapped
        {" <id>x<event>AB</event>y</id> ", "<id>AB</id>"},  // wrapped after trimming
        {"</event>AB<event>", ""},                          // end tag first
        {"<event>AB", ""},                                  // no end tag
        {"AB</event>", ""},                                 // no start tag
        {"<event>A</event><event>B</event>", "A"},          // the first pair
        {"<event>A<event>B</event>", "A<event>B"},          // the first start, the first end
        {"<EVENT>AB</EVENT>", ""},                          // tags compare with case
    };
    for (const auto& c : cases) {
        std::string out = "stale";
        EXPECT_TRUE(ExtractEventId(c.text, &out)) << c.text;
        EXPECT_EQ(out, c.out) << c.text;
    }
    EXPECT_TRUE(ExtractEventId("<event>AB</event>", nullptr));
}

TEST(ExtractEventId, OutputLongerThanTheHostBufferIsRefused) {
    const struct {
        std::string id;
        bool wrapped;
        bool fits;
    } cases[] = {
        {std::string(1023, 'A'), false, true},
        {std::string(1024, 'A'), false, false},
        {std::string(1014, 'A'), true, true},  // 1014 + "<id></id>" = 1023
        {std::string(1015, 'A'), true, false},
        // Counted in UTF-16 units: U+1F600 is two units (four UTF-8 bytes).
        {std::string(1021, 'A') + "\xF0\x9F\x98\x80", false, true},
        {std::string(1022, 'A') + "\xF0\x9F\x98\x80", false, false},
        // U+00E9 is one unit (two UTF-8 bytes).
        {std::string(1022, 'A') + "\xC3\xA9", false, true},
    };
    for (const auto& c : cases) {
        const std::string event = "<event>" + c.id + "</event>";
        const std::string text = c.wrapped ? "<id>" + event + "</id>" : event;
        std::string out = "stale";
        EXPECT_EQ(ExtractEventId(text, &out), c.fits) << c.id.size();
        EXPECT_EQ(out, c.fits ? (c.wrapped ? "<id>" + c.id + "</id>" : c.id) : "") << c.id.size();
    }
}

// Other writers of a store write TRUE as any non-zero value; a value of another type is no flag.
TEST(FindBool, EveryNonZeroBooleanIsTrue) {
    const ULONG asLong = PROP_TAG(PT_LONG, PROP_ID(PR_DEFAULT_STORE));
    const struct {
        ULONG tag;
        unsigned short b;
        bool expected;
    } cases[] = {
        {PR_DEFAULT_STORE, 1, true},      {PR_DEFAULT_STORE, 2, true},  {PR_DEFAULT_STORE, 0x100, true},
        {PR_DEFAULT_STORE, 0xFFFF, true}, {PR_DEFAULT_STORE, 0, false}, {asLong, 1, false},
    };
    for (const auto& c : cases) {
        SPropValue v{};
        v.ulPropTag = c.tag;
        v.Value.b = c.b;
        const SRow row{0, 1, &v};
        EXPECT_EQ(FindBool(row, PR_DEFAULT_STORE), c.expected) << std::hex << c.tag << " " << c.b;
    }
}

TEST(MapiHelpers, NullArgumentsGiveNullWithoutCallingMapi) {
    // No runtime is needed: every helper checks its arguments before any MAPI call.
    EXPECT_FALSE(OpenDefaultFolder(nullptr, PR_IPM_CONTACT_ENTRYID));
    EXPECT_FALSE(OpenParentFolder(nullptr, 2, reinterpret_cast<const BYTE*>("ab")));
    EXPECT_FALSE(OpenParentFolderByHexId(nullptr, "ABCD"));
    EXPECT_FALSE(OpenMessageByHexId(nullptr, "ABCD"));
    EXPECT_FALSE(GetOneProp(nullptr, PR_ENTRYID));
}

// ---- Against the runtime ----

std::string EntryIdText(IMAPIProp* object) {
    MapiBuffer<SPropValue> v = GetOneProp(object, PR_ENTRYID);
    if (!v || PROP_TYPE(v->ulPropTag) != PT_BINARY) return "";
    return BinaryToHexString(v->Value.bin.lpb, v->Value.bin.cb);
}

void DeleteProp(IMAPIFolder* folder, ULONG tag) {
    ASSERT_NE(folder, nullptr);
    SizedSPropTagArray<1> tags = {1, {tag}};
    ASSERT_EQ(folder->DeleteProps(tags.get(), nullptr), S_OK);
    ASSERT_EQ(folder->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
}

class MapiHelpersRuntime : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        world = std::make_unique<nx::test::MapiTestWorld>();
        world->Admin({"init"});
        contactsId = world->Admin({"folder", "show", "Personal Folders/Top of Personal Folders/Contacts"});
        ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    }
    void TearDown() override { mapi.MAPILogOff(); }

    std::unique_ptr<nx::test::MapiTestWorld> world;
    NAMESPACE_MAPI::CMAPIObject mapi;
    std::string contactsId;
};

TEST_F(MapiHelpersRuntime, OpenDefaultFolderReadsTheInboxThenTheRoot) {
    IMsgStore* store = mapi.MsgStore();
    ASSERT_NE(store, nullptr);
    ComPtr<IMAPIFolder> folder = OpenDefaultFolder(store, PR_IPM_CONTACT_ENTRYID);
    ASSERT_TRUE(folder);
    EXPECT_EQ(EntryIdText(folder.get()), contactsId);

    // The inbox loses the property: the root folder's value is used.
    ComPtr<IMAPIFolder> inbox = OpenInboxFolder(store);
    DeleteProp(inbox.get(), PR_IPM_CONTACT_ENTRYID);
    folder = OpenDefaultFolder(store, PR_IPM_CONTACT_ENTRYID);
    ASSERT_TRUE(folder);
    EXPECT_EQ(EntryIdText(folder.get()), contactsId);

    // Neither has it: no folder. A property neither ever had gives none either.
    ComPtr<IMAPIFolder> root = OpenFolderEntry(store, 0, nullptr);
    DeleteProp(root.get(), PR_IPM_CONTACT_ENTRYID);
    EXPECT_FALSE(OpenDefaultFolder(store, PR_IPM_CONTACT_ENTRYID));
    EXPECT_FALSE(OpenDefaultFolder(store, PROP_TAG(PT_BINARY, 0x6700)));

    // The logon of a store whose inbox lacks the properties still knows the default folders.
    mapi.MAPILogOff();
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    EXPECT_EQ(mapi.DefaultFolderIds()[2], "");  // gone from both
    const std::string calendarId =
        world->Admin({"folder", "show", "Personal Folders/Top of Personal Folders/Calendar"});
    EXPECT_EQ(mapi.DefaultFolderIds()[1], calendarId);
}

TEST_F(MapiHelpersRuntime, OpenByHexIdChecksTheKindOfObject) {
    const std::string itemId =
        world->PutItem("Personal Folders/Top of Personal Folders/Contacts", "IPM.Contact", "Ada");
    IMAPIFolder* contacts = mapi.ContactFolder();
    ASSERT_NE(contacts, nullptr);

    const struct {
        std::string hex;
        bool message;
        bool parent;
    } cases[] = {
        {itemId, true, true},
        {"0x" + itemId, true, true},
        {"x" + itemId, true, true},
        {contactsId, false, true},  // a folder is no message; its parent is a folder
        {"A", false, false},        // decodes to no byte
        {"", false, false},
        {"00112233445566778899", false, false},  // names nothing
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<bool>(OpenMessageByHexId(contacts, c.hex)), c.message) << c.hex;
        ComPtr<IMAPIFolder> parent = OpenParentFolderByHexId(contacts, c.hex);
        EXPECT_EQ(static_cast<bool>(parent), c.parent) << c.hex;
    }
    ComPtr<IMAPIFolder> parent = OpenParentFolderByHexId(contacts, itemId);
    EXPECT_EQ(EntryIdText(parent.get()), contactsId);
}

// The rows a change read's count keeps for its snapshot: only a query of the same columns over
// the same class takes them, each folder's once, by its whole entry id.
int g_rowSetsFreed = 0;
void STDAPICALLTYPE FreeTestRows(LPSRowSet rows) {
    ++g_rowSetsFreed;
    delete rows;
}
RowSetPtr TestRows(ULONG count) {
    RowSetPtr rows(FreeTestRows);
    *rows.put() = new SRowSet{count, {}};
    return rows;
}

TEST(KeptFolderRows, AnswerOnlyTheSameQueryAndGoOnceToTheirOwnFolder) {
    using NAMESPACE_MAPI::KeptFolderRows;
    SizedSPropTagArray<3> snapshot = {
        3, {PR_ENTRYID, PR_LONGTERM_ENTRYID_FROM_TABLE, PR_LAST_MODIFICATION_TIME}};
    SizedSPropTagArray<3> reordered = {
        3, {PR_LONGTERM_ENTRYID_FROM_TABLE, PR_ENTRYID, PR_LAST_MODIFICATION_TIME}};
    SizedSPropTagArray<3> sameTags = snapshot;
    SizedSPropTagArray<1> idOnly = {1, {PR_ENTRYID}};
    const struct {
        LPSPropTagArray columns;
        const char16_t* itemClass;
        bool answers;
    } queries[] = {
        {snapshot.get(), u"IPM.Contact", true},
        {sameTags.get(), u"IPM.Contact", true},  // the same tags in another array
        {reordered.get(), u"IPM.Contact", false},
        {idOnly.get(), u"IPM.Contact", false},
        {snapshot.get(), u"IPM.Appointment", false},
        {snapshot.get(), u"IPM.Contact.Sub", false},
        {nullptr, u"IPM.Contact", false},
        {snapshot.get(), nullptr, false},
    };
    g_rowSetsFreed = 0;
    RowSetPtr rows(FreeTestRows);
    {
        KeptFolderRows kept(snapshot.get(), u"IPM.Contact");
        for (std::size_t i = 0; i < std::size(queries); ++i)
            EXPECT_EQ(kept.Answers(queries[i].columns, queries[i].itemClass), queries[i].answers) << i;

        const BYTE folderA[] = {1, 2, 3, 4}, folderB[] = {1, 2, 3, 5}, prefixOfA[] = {1, 2, 3};
        kept.Keep(sizeof folderA, folderA, S_OK, TestRows(7));
        kept.Keep(sizeof folderB, folderB, MAPI_W_ERRORS_RETURNED, TestRows(2));
        kept.Keep(sizeof folderB, folderB, S_OK, TestRows(3));  // the later rows of a folder win
        EXPECT_EQ(g_rowSetsFreed, 1);

        HRESULT hr = E_FAIL;
        EXPECT_FALSE(kept.Take(sizeof prefixOfA, prefixOfA, hr, rows));
        EXPECT_FALSE(kept.Take(sizeof folderA, nullptr, hr, rows));
        ASSERT_TRUE(kept.Take(sizeof folderB, folderB, hr, rows));
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(rows.size(), 3u);
        EXPECT_FALSE(kept.Take(sizeof folderB, folderB, hr, rows));  // taken once
        EXPECT_EQ(rows.size(), 3u);                                  // and a refusal leaves the rows
    }
    // Folder A's rows, never taken, went with the keeper; folder B's are the test's.
    EXPECT_EQ(g_rowSetsFreed, 2);
    EXPECT_EQ(rows.size(), 3u);
}

}  // namespace
