// Contact writes end to end: the real agent, nxhost and a store built with mapiadmin. A document
// that sets every inbound element comes back from a read in the outbound elements; bad input over
// the wire gets its answer and changes nothing; a scripted add / update / delete session traces
// exactly the golden trace.
#include <gtest/gtest.h>

#include "contacts/ContactFields.h"
#include "tests/e2e/StoreWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;
using NAMESPACE_MAPI::ContactField;
using NAMESPACE_MAPI::ContactFieldKind;

// What the document sends for a field: something of its own per field, dates as dates, and the
// texts of every kind of character a document may carry.
std::string ValueOf(const ContactField& f) {
    switch (f.kind) {
        case ContactFieldKind::Date:
            return f.id == 4003 ? "1975-06-30" : "2001-12-24";
        case ContactFieldKind::Email:
            return "mail" + std::to_string(f.id) + "@example.org";
        case ContactFieldKind::Categories:
            return "Friends;Z\xC3\xBCrich";
        case ContactFieldKind::Body:
            return "first line &amp; &lt;second&gt;";
        default:
            return std::string(f.received) + " \xC3\xA9\xF0\x9F\x98\x80 " + std::to_string(f.id);
    }
}

TEST(ContactWriteE2E, EveryInboundElementComesBackFromARead) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    std::string photo = "\xFF\xD8\xFF\xE0";  // a JPEG as far as the write checks
    photo.resize(5000);
    for (std::size_t i = 4; i < photo.size(); ++i) photo[i] = static_cast<char>(i * 31 + 7);
    WriteWholeFile(w.Root() / "photo.jpg", photo);
    std::string doc = "<Contact><lFlag>8</lFlag><CsFolder>Contacts</CsFolder>";
    for (const ContactField& f : NAMESPACE_MAPI::ContactFields())
        if (f.received) doc += "<" + std::string(f.received) + ">" + ValueOf(f) + "</" + f.received + ">";
    doc += "<PICPath>" + (w.Root() / "photo.jpg").string() + "</PICPath></Contact>";
    WriteWholeFile(w.Root() / "new.xml", doc);

    const auto docs = w.Read({"MAPILogOn", "WriteContacts @" + (w.Root() / "new.xml").string(),
                              "ReadContacts \"\" \"\"", "MAPILogOff", "Shutdown"});
    ASSERT_EQ(docs.size(), 1u) << w.Output();
    const std::string& xml = docs[0].xml;
    EXPECT_EQ(w.ResultOf(1), "0");
    EXPECT_EQ(Out(w.Calls()[1], "identifier"), Element(xml, "PIMID"));
    EXPECT_EQ(Out(w.Calls()[1], "time"), Element(xml, "lastModifiedTime"));
    for (const ContactField& f : NAMESPACE_MAPI::ContactFields()) {
        if (f.received == nullptr) continue;
        switch (f.kind) {
            case ContactFieldKind::FullName:  // the composed name, not the FullName sent
                EXPECT_EQ(Element(xml, f.sent), ValueOf(*NAMESPACE_MAPI::FindContactField(1)) + " " +
                                                    ValueOf(*NAMESPACE_MAPI::FindContactField(3)) + " " +
                                                    ValueOf(*NAMESPACE_MAPI::FindContactField(2)));
                break;
            case ContactFieldKind::InstantMessaging:  // one address: the last service sent, ICQ
                EXPECT_NE(xml.find("<SP-IMADRESS IMType=\"4029\">" +
                                   ValueOf(*NAMESPACE_MAPI::FindContactField(4029)) + "</SP-IMADRESS>"),
                          std::string::npos)
                    << xml;
                break;
            default:
                EXPECT_EQ(Element(xml, f.sent), ValueOf(f)) << f.received << " -> " << f.sent;
                break;
        }
    }
    ASSERT_TRUE(docs[0].hasPicture);
    EXPECT_EQ(docs[0].picture, photo);
}

TEST(ContactWriteE2E, BadInputOverTheWireChangesNothing) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::string ada = w.PutContact(kContacts, R"({"tag":"PR_GIVEN_NAME_W","value":"Ada"})");
    const std::string unknown = ada.substr(0, ada.size() - 1) + (ada.back() == '1' ? "2" : "1");
    const std::string overlong(450, 'A');
    const struct {
        std::string document;
        std::string identifier;
    } cases[] = {
        {"<Contact><lFlag>8</lFlag><FirstName>Half", ""},
        // An update or a deletion that names no item of the folder answers as a failed add does.
        {"<Contact><lFlag>4</lFlag><PIMID>" + unknown + "</PIMID><FirstName>B</FirstName></Contact>", ""},
        {"<Contact><lFlag>32</lFlag><PIMID>" + unknown + "</PIMID></Contact>", ""},
        {"<Contact><lFlag>four</lFlag><PIMID>" + ada + "</PIMID><FirstName>B</FirstName></Contact>", ada},
        {"<Contact><lFlag>4</lFlag><PIMID>" + ada.substr(1) + "</PIMID><FirstName>B</FirstName></Contact>",
         ""},
        // An identifier longer than the host's buffer is not cut: it is not sent at all.
        {"<Contact><lFlag>4</lFlag><PIMID>" + overlong + "</PIMID></Contact>", ""},
    };
    std::vector<std::string> lines = {"MAPILogOn"};
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        WriteWholeFile(w.Root() / ("bad" + std::to_string(i) + ".xml"), cases[i].document);
        lines.push_back("WriteContacts @" + (w.Root() / ("bad" + std::to_string(i) + ".xml")).string());
    }
    lines.insert(lines.end(), {"ReadContacts \"\" \"\"", "Shutdown"});
    const auto docs = w.Read(lines);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(w.ResultOf(1 + i), "0") << cases[i].document;
        EXPECT_EQ(Out(w.Calls()[1 + i], "identifier"), cases[i].identifier) << cases[i].document;
    }
    ASSERT_EQ(docs.size(), 1u) << w.Output();
    EXPECT_EQ(Element(docs[0].xml, "FirstName"), "Ada");
    EXPECT_EQ(Element(docs[0].xml, "PIMID"), ada);
}

TEST(ContactWriteE2E, ScriptedAddUpdateDeleteTraceMatchesTheGoldenTrace) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const auto calls = w.RunScript("contacts-write");
    ASSERT_GE(calls.size(), 3u);
    ExpectTraceMatchesGolden(w.NamedTrace({{Out(calls[2], "identifier"), "{added}"}}), "contacts-write");
}

}  // namespace
