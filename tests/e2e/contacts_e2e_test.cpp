// Contact reads end to end: the real agent, nxhost and a store built with mapiadmin. Full reads
// (every field, e-mail, IM, body, pictures, odd text and odd items), the reads every kind shares
// (ItemReadTests.h) and the trace of a scripted session line by line.
#include <gtest/gtest.h>

#include "tests/e2e/ItemReadTests.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;

const std::vector<std::string> kFullRead = {"MAPILogOn", "ReadContacts \"\" \"\"", "MAPILogOff", "Shutdown"};

// Bytes that look like nothing in particular, so a truncated or shifted copy shows.
std::string Photo(std::size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 9)) & 0xFF);
    return bytes;
}

std::string Text(const std::string& tag, const std::string& value) {
    return R"({"tag":")" + tag + R"(","value":")" + value + R"("})";
}
std::string Named(const std::string& id, const std::string& value) {
    return R"({"set":"PSETID_Address","id":")" + id + R"(","type":"PT_UNICODE","value":")" + value + R"("})";
}
// A photo attachment; its flag as JSON (`true`, or the number another writer stores for TRUE).
std::string PhotoAttachment(const std::string& file, const std::string& flag = "true") {
    return R"({"properties":[{"tag":"PR_ATTACH_METHOD","value":1},{"tag":"PR_ATTACHMENT_CONTACTPHOTO","value":)" +
           flag + R"(},{"tag":"PR_ATTACH_DATA_BIN","file":")" + file + R"("}]})";
}
const std::string kPlainAttachment =
    R"({"properties":[{"tag":"PR_ATTACH_METHOD","value":1},{"tag":"PR_ATTACH_DATA_BIN","hex":"00"}]})";

TEST(ContactsE2E, EveryFieldOfAContactMatchesTheGoldenDocument) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    nx::e2e::WriteWholeFile(w.Root() / "photo.jpg", Photo(5000, 1));
    // Every field of the table, three e-mails, IM, categories, body, both dates (stored in UTC, shown
    // in Berlin time) and a photo that is the message's third attachment (number 2).
    const std::string id =
        w.Put(kContacts, StoreWorld::ReplaceIds(GoldenText("full-contact.json"),
                                                {{"{PHOTO}", (w.Root() / "photo.jpg").string()}}));
    const auto docs = w.Read(kFullRead);
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    ASSERT_EQ(docs.size(), 1u) << w.Output();
    ExpectMatchesGoldenDocument(
        StoreWorld::ReplaceIds(docs[0].xml, {{id, "{PIMID}"}, {w.WorkFolder().string(), "{WORK}"}}),
        "full-contact.xml");
    EXPECT_TRUE(docs[0].hasPicture);
    EXPECT_EQ(docs[0].picture, Photo(5000, 1));
    EXPECT_EQ(fs::status(w.WorkFolder() / "PIC2.jpg").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(w.Output().find("read: 1 document (new 0, changed 0, deleted 0), 1 picture,"),
              std::string::npos)
        << w.Output();
}

TEST(ContactsE2E, EmailImBodyPicturesAndOddTextEachAsTheHostExpects) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    nx::e2e::WriteWholeFile(w.Root() / "big.jpg", Photo(200 * 1024, 2));
    nx::e2e::WriteWholeFile(w.Root() / "empty.jpg", "");
    std::string longBody(1024 * 1024, 'b');
    for (std::size_t i = 100; i < longBody.size(); i += 100) longBody[i] = ' ';
    const auto name = [](const std::string& n) { return Text("PR_GIVEN_NAME_W", n); };
    w.PutContact(kContacts, name("ex") + "," + Named("0x8082", "EX") + "," + Named("0x8083", "/o=x/cn=y") +
                                "," + Named("0x8084", "Shown Name"));
    w.PutContact(kContacts, name("smtp") + "," + Named("0x8082", "ex") + "," + Named("0x8083", "a@b.c") +
                                "," + Named("0x8084", "Other"));
    w.PutContact(kContacts, name("skype") + "," + Named("0x8062", "skype:abc"));
    w.PutContact(kContacts, name("plain") + "," + Named("0x8062", "abc"));
    w.PutContact(kContacts, name("other") + "," + Named("0x8062", "xyz:abc"));
    w.PutContact(kContacts, name("crlf") + "," + Text("PR_BODY_W", R"(\r\n)"));
    w.PutContact(kContacts, name("long") + "," + Text("PR_BODY_W", longBody));
    w.PutContact(kContacts, name("big"), PhotoAttachment((w.Root() / "big.jpg").string()));
    w.PutContact(kContacts, name("empty"), PhotoAttachment((w.Root() / "empty.jpg").string()));
    w.PutContact(kContacts, name("none"), kPlainAttachment);
    // The agent finds the photo by its flag being TRUE, whatever non-zero value stands for it.
    w.PutContact(kContacts, name("flag 2"), PhotoAttachment((w.Root() / "empty.jpg").string(), "2"));
    w.PutContact(kContacts, name("flag FFFF"), PhotoAttachment((w.Root() / "empty.jpg").string(), "65535"));
    w.PutContact(kContacts, name(R"(\uD83D\uDE00 \uD800x\u0001)"));
    w.Put(kContacts, R"({"properties":[)" + Text("PR_MESSAGE_CLASS_W", "IPM.Contact.Custom") + "," +
                         name("derived") + "]}");
    w.Put(kContacts,
          R"({"properties":[)" + Text("PR_MESSAGE_CLASS_W", "IPM.DistList") + "," + name("list") + "]}");
    const auto docs = w.Read(kFullRead);
    EXPECT_EQ(w.ResultOf(1), "0") << w.Output();
    ASSERT_EQ(docs.size(), 13u) << w.Output();

    const struct {
        const char* who;
        const char* element;
        std::string text;
    } cases[] = {
        {"ex", "SP-EMAIL1", "Shown Name"},   {"smtp", "SP-EMAIL1", "a@b.c"},  // "EX" is compared exactly
        {"skype", "SP-IMADRESS", "abc"},     {"plain", "SP-IMADRESS", "abc"},
        {"other", "SP-IMADRESS", "xyz:abc"}, {"crlf", "SP-BODY", ""},
        {"long", "SP-BODY", longBody},       {"none", "PICPath", "<none>"},
        {"none", "SP-EMAIL2", ""},  // always present, empty when missing
        {"none", "Birthday", "<none>"},      {"big", "PICPath", (w.WorkFolder() / "PIC0.jpg").string()},
    };
    for (const auto& c : cases) {
        const Delivered* d = ByElement(docs, "FirstName", c.who);
        ASSERT_NE(d, nullptr) << c.who;
        EXPECT_EQ(Element(d->xml, c.element), c.text) << c.who << " " << c.element;
    }
    const struct {
        const char* who;
        const char* type;
    } im[] = {{"skype", "4026"}, {"plain", "4022"}, {"other", "4022"}, {"none", "4022"}};
    for (const auto& c : im)
        EXPECT_NE(ByElement(docs, "FirstName", c.who)->xml.find(std::string("IMType=\"") + c.type + "\""),
                  std::string::npos)
            << c.who;
    EXPECT_EQ(ByElement(docs, "FirstName", "big")->picture, Photo(200 * 1024, 2));
    for (const char* who : {"empty", "flag 2", "flag FFFF"}) {
        EXPECT_TRUE(ByElement(docs, "FirstName", who)->hasPicture) << who;
        EXPECT_EQ(ByElement(docs, "FirstName", who)->picture, "") << who;
    }
    // Beyond the BMP kept; an unpaired surrogate and a control character replaced.
    EXPECT_NE(ByElement(docs, "FirstName", "\xF0\x9F\x98\x80 \xEF\xBF\xBDx\xEF\xBF\xBD"), nullptr);
}

std::string Name(const std::string& n) {
    return Text("PR_GIVEN_NAME_W", n);
}

INSTANTIATE_TEST_SUITE_P(
    Contacts, ItemReadE2E,
    ::testing::Values(ItemKind{
        "ReadContacts",
        "GetContactCount",
        "contact",
        "FirstName",
        "CMAPIObject::ReadContacts",
        kContacts,
        "Contacts",
        "IPF.Contact",
        "IPM.Contact",
        "IPM.DistList",
        [](StoreWorld& w, const std::string& folder, const std::string& name, const std::string& cls) {
            return w.PutContact(folder, Name(name), "", cls);
        },
        R"({"properties":[{"tag":"PR_NICKNAME_W","value":"Annie"}]})",
        "NickName",
        "Annie",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Contact>\n\t<lFlag>32</lFlag>\n\t<PIMID>",
        "</PIMID>\n\t",
        {}}));

TEST(ContactsE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::string ada = w.PutContact(kContacts, Name("Ada"));
    w.RunScript("contacts-full-read");
    ExpectTraceMatchesGolden(w.NamedTrace({{ada, "{Ada}"}}), "contacts-full-read");
}

}  // namespace
