// CMAPIObject's contact read against the real runtime, with a sink in place of the host: what
// the read does when a message vanishes under it and when the host stops taking documents.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/Encoding.h"
#include "mapi/MAPIObject.h"
#include "tests/mapi/MapiTestWorld.h"

namespace {

using nx::test::MapiTestWorld;

const std::string kContacts = "Personal Folders/Top of Personal Folders/Contacts";

// A contact with a first name and a file-as name (a message-level element).
std::string PutContact(MapiTestWorld& w, const std::string& name) {
    const auto file = w.Root() / (name + ".json");
    std::ofstream(file) << R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":"IPM.Contact"},)"
                        << R"({"tag":"PR_GIVEN_NAME_W","value":")" << name << R"("},)"
                        << R"({"named":"PidLidFileUnder","value":"file-as )" << name << R"("}]})";
    return w.Admin({"item", "put", kContacts, file.string()});
}

void DeleteMessage(IMAPIFolder* folder, const std::string& hexId) {
    std::vector<uint8_t> id = NAMESPACE_COMMON::HexStringToBinary(hexId);
    SBinary bin{static_cast<ULONG>(id.size()), id.data()};
    ENTRYLIST list{1, &bin};
    ASSERT_EQ(folder->DeleteMessages(&list, 0, nullptr, 0), S_OK) << hexId;
}

bool Has(const std::string& xml, const std::string& text) {
    return xml.find(text) != std::string::npos;
}

// Three contacts, first, second and third, in a new world, and the session object logged on with
// a sink that keeps every document and deletes the second contact's message once the first
// document has gone out (after the rows were read, before the second message is opened).
class VanishingContact : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        w.Admin({"init"});
        PutContact(w, "first");
        second = PutContact(w, "second");
        PutContact(w, "third");
        m.SetContactSink([this](std::string_view xml) {
            docs.emplace_back(xml);
            if (!deleted) DeleteMessage(m.ContactFolder(), second);
            deleted = true;
            return 0u;
        });
        ASSERT_EQ(m.MAPILogOn(nullptr, ""), 1);
    }
    void TearDown() override { m.MAPILogOff(); }

    MapiTestWorld w;
    std::string second;
    NAMESPACE_MAPI::CMAPIObject m;
    std::vector<std::string> docs;
    bool deleted = false;
};

TEST_F(VanishingContact, TheFullReadStillSendsItsRowAlone) {
    EXPECT_EQ(m.ReadContacts("", ""), 0);
    ASSERT_EQ(docs.size(), 3u);
    EXPECT_TRUE(Has(docs[0], "<FULLNAME>file-as first</FULLNAME>"));
    EXPECT_TRUE(Has(docs[1], "<FirstName>second</FirstName>"));
    EXPECT_TRUE(Has(docs[1], "<PIMID>" + second + "</PIMID>"));
    EXPECT_FALSE(Has(docs[1], "FULLNAME"));
    EXPECT_FALSE(Has(docs[1], "SP-IMADRESS"));
    EXPECT_TRUE(Has(docs[2], "<FULLNAME>file-as third</FULLNAME>"));
}

TEST_F(VanishingContact, TheChangeReadSkipsItAndReportsItsDeletionNextTime) {
    EXPECT_EQ(m.ReadContacts("", "anchor"), 0);
    ASSERT_EQ(docs.size(), 2u);
    EXPECT_TRUE(Has(docs[0], "<lFlag>8</lFlag>") && Has(docs[0], "<FirstName>first</FirstName>"));
    EXPECT_TRUE(Has(docs[1], "<lFlag>8</lFlag>") && Has(docs[1], "<FirstName>third</FirstName>"));
    docs.clear();
    EXPECT_EQ(m.ReadContacts("", "anchor"), 0);
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_TRUE(Has(docs[0], "<lFlag>32</lFlag>\n\t<PIMID>" + second + "</PIMID>")) << docs[0];
}

TEST(ContactRead, AHostThatStopsTakingDocumentsEndsTheReadAsFailed) {
    NX_REQUIRE_MAPI_RUNTIME();
    MapiTestWorld w;
    w.Admin({"init"});
    for (const char* name : {"a", "b", "c", "d"}) PutContact(w, name);
    NAMESPACE_MAPI::CMAPIObject m;
    ASSERT_EQ(m.MAPILogOn(nullptr, ""), 1);
    int calls = 0;
    m.SetContactSink([&](std::string_view) { return ++calls >= 2 ? 1727u : 0u; });  // RPC_S_CALL_FAILED
    EXPECT_EQ(m.ReadContacts("", ""), 1);
    EXPECT_EQ(calls, 2);
    // Without a sink (no host binding) nothing is delivered and the read fails.
    m.SetContactSink(nullptr);
    EXPECT_EQ(m.ReadContacts("", ""), 1);
    m.MAPILogOff();
    EXPECT_EQ(m.ReadContacts("", ""), 1);  // logged off: no folder
}

}  // namespace
