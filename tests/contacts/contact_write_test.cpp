// The contact write: the inbound document into a record, the record into one text per field,
// the composed name and the dates; then CMAPIObject's write against the real runtime, read back
// through the contact read (a sink in place of the host) and through the message itself.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "common/MapiFunctions.h"
#include "common/MapiHelpers.h"
#include "contacts/ContactFields.h"
#include "contacts/ContactPicture.h"
#include "contacts/ContactWrite.h"
#include "mapi/MAPIObject.h"
#include "platform/system/Utf.h"
#include "tests/mapi/MapiTestWorld.h"

namespace {

using NAMESPACE_COMMON::CDateTime;
using NAMESPACE_MAPI::CContactEx;
using NAMESPACE_MAPI::tagContactFields;
using nx::test::MapiTestWorld;

// The record's items as "id=value" (and "id=value@picture" for an item with a picture path).
std::string Items(const CContactEx& record) {
    std::string out;
    for (const auto& info : record.m_arrInfo) {
        if (!out.empty()) out += ' ';
        out += std::to_string(info.m_nFieldId) + "=" + info.m_strValue;
        if (!info.m_strPicturePath.empty()) out += "@" + info.m_strPicturePath;
    }
    return out;
}

TEST(XmlToContactEx, ReadsTheHostsElementsOnly) {
    struct Case {
        const char* xml;
        int32_t flag;
        const char* pimid;
        const char* items;
    };
    std::vector<Case> cases = {
        {"<Contact><lFlag>32</lFlag><PIMID>00ab</PIMID></Contact>", 32, "00ab", ""},
        {"<Contact><lFlag> +12abc</lFlag><CsFolder>Contacts</CsFolder></Contact>", 12, "", ""},
        {"<Contact><lFlag>abc</lFlag><PIMID></PIMID><FirstName></FirstName></Contact>", 0, "", ""},
        // The order of the items is the host's document order, not the order of the elements.
        {"<Contact><LastName>Smith</LastName><FullName>Anne "
         "Smith</FullName><FirstName>Anne</FirstName></Contact>",
         0, "", "5=Anne Smith 1=Anne 2=Smith"},
        {"<Contact><FirstName>one</FirstName><FirstName>two</FirstName></Contact>", 0, "", "1=one"},
        {"<Contact><Mobile1>1</Mobile1><SP-EMAIL1>a@b</SP-EMAIL1><FULLNAME>x</FULLNAME><Mobile>2</Mobile></"
         "Contact>",
         0, "", "104=2"},
        {"<Contact><ICQ>123</ICQ><IMAddress>me</IMAddress><JABBER>j</JABBER></Contact>", 0, "",
         "4022=me 4030=j 4029=123"},
        {"<Contact><FirstName> blanks kept </FirstName></Contact>", 0, "", "1= blanks kept "},
        // Only the root's own children count; comments and text between them are passed over.
        {"<Contact><!-- c --><FirstName>A</FirstName> x <Group><LastName>in</LastName></Group>"
         "<LastName>B</LastName></Contact>",
         0, "", "1=A 2=B"},
        // After the declaration, an attribute given twice still makes it no document.
        {"<?xml version=\"1.0\"?><Contact a=\"1\" a=\"2\"><lFlag>8</lFlag></Contact>", 0, "", ""},
        {"<?xml version=\"1.0\"?><Contact a=\"1\"><lFlag>8</lFlag></Contact>", 8, "", ""},
        {"<Contact><lFlag>8</lFlag><FirstName>Anne</FirstName>", 0, "", ""},  // not a document
        {"<contact><lFlag>8</lFlag></contact>", 0, "", ""},                   // another root
        {"", 0, "", ""},
    };
    for (const Case& c : cases) {
        CContactEx record;
        EXPECT_EQ(NAMESPACE_MAPI::XmlToContactEx(c.xml, record), 1);
        EXPECT_EQ(record.m_lFlag, c.flag) << c.xml;
        EXPECT_EQ(record.m_strPIMID, c.pimid) << c.xml;
        EXPECT_EQ(Items(record), c.items) << c.xml;
    }
}

TEST(XmlToContactEx, PicturePathGoesToTheFirstNameItem) {
    const std::pair<const char*, const char*> cases[] = {
        {"<FullName>F</FullName><FirstName>A</FirstName><PICPath>/p.jpg</PICPath>", "5=F 1=A@/p.jpg"},
        {"<MiddleName>M</MiddleName><LastName>L</LastName><PICPath>/p.jpg</PICPath>", "2=L@/p.jpg 3=M"},
        {"<FullName>F</FullName><PICPath>/p.jpg</PICPath>", "5=F@/p.jpg"},
        {"<Mobile>1</Mobile><PICPath>/p.jpg</PICPath>", "104=1 5=@/p.jpg"},
        {"<FirstName>A</FirstName><PICPath></PICPath>", "1=A"},
    };
    for (const auto& [body, items] : cases) {
        CContactEx record;
        NAMESPACE_MAPI::XmlToContactEx(std::string("<Contact>") + body + "</Contact>", record);
        EXPECT_EQ(Items(record), items) << body;
    }
    // Without a name, an empty PICPath still makes the id-5 item: the only empty value a record holds.
    CContactEx record;
    NAMESPACE_MAPI::XmlToContactEx("<Contact><PICPath/></Contact>", record);
    ASSERT_EQ(record.m_arrInfo.size(), 1u);
    EXPECT_EQ(record.m_arrInfo[0].m_nFieldId, 5);
    EXPECT_EQ(record.m_arrInfo[0].m_strValue, "");
}

TEST(ContactExToFields, OneInstantMessagingAddressWithItsServicePrefix) {
    const std::pair<const char*, const char*> cases[] = {
        {"<AIM>jdoe</AIM>", "AIM:jdoe"},
        {"<IMAddress>me</IMAddress><ICQ>123</ICQ>", "ICQ:123"},
        {"<JABBER>j</JABBER><GoogleTalk>g</GoogleTalk>", "JABBER:j"},
        {"<LIVE>l</LIVE>", "WINDOWSLIVE:l"},
        {"<IMAddress>x:y</IMAddress>", "x:y"},
        {"<FirstName>A</FirstName>", ""},
    };
    for (const auto& [body, im] : cases) {
        CContactEx record;
        NAMESPACE_MAPI::XmlToContactEx(std::string("<Contact>") + body + "</Contact>", record);
        tagContactFields fields;
        NAMESPACE_MAPI::ContactExToFields(fields, record);
        EXPECT_EQ(fields.strIMAddress, im) << body;
    }
}

TEST(ContactWrite, DatesAndComposedNames) {
    const std::pair<const char*, const char*> dates[] = {
        {"1975-06-30", "1975/06/30 00:00:00"}, {"1975-6-3", "1975/06/03 00:00:00"},
        {"1975-13-01", "1899/12/30 00:00:00"}, {"2001-02-29", "1899/12/30 00:00:00"},
        {"", "1899/12/30 00:00:00"},           {"2000-02-29-10:20:30", "2000/02/29 10:20:30"},
        {"garbage", "1899/12/30 00:00:00"},
    };
    for (const auto& [text, expected] : dates)
        EXPECT_EQ(NAMESPACE_MAPI::ParseContactDate(text).Format(NAMESPACE_COMMON::kDateTimePattern), expected)
            << text;

    struct Name {
        const char* first;
        const char* middle;
        const char* last;
        const char* name;
        const char* initials;
    };
    const Name names[] = {
        {"Anne", "Marie Louise", "Smith", "Anne Marie Louise Smith", "A.M.L.S."},
        {"", "", "Smith", "Smith", "S."},
        {"", "Marie", "", "Marie", "M."},
        {"\xC3\x89mile", "", "\xF0\x9F\x98\x80x", "\xC3\x89mile \xF0\x9F\x98\x80x",
         "\xC3\x89.\xF0\x9F\x98\x80."},
        {"", "", "", "", ""},
    };
    for (const Name& n : names) {
        tagContactFields fields;
        for (auto [id, text] : {std::pair{1, n.first}, {3, n.middle}, {2, n.last}})
            if (*text) fields.values[id] = text;
        std::string name, initials;
        NAMESPACE_MAPI::ComposeContactName(fields, name, initials);
        EXPECT_EQ(name, n.name);
        EXPECT_EQ(initials, n.initials) << n.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Against the real runtime

const std::string kContacts = "Personal Folders/Top of Personal Folders/Contacts";

class ContactWriteStore : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        w.Admin({"init"});
        m.SetConfig({false, "", "", (w.Root() / "work").string()});
        std::filesystem::create_directories(w.Root() / "work");
        m.SetContactSink([this](std::string_view xml) {
            docs.emplace_back(xml);
            return 0u;
        });
        ASSERT_EQ(m.MAPILogOn(nullptr, ""), 1);
    }
    void TearDown() override { m.MAPILogOff(); }

    // Parses and writes one document as procedure 12 does; the record afterwards.
    CContactEx Write(const std::string& body, int* result = nullptr) {
        CContactEx record;
        NAMESPACE_MAPI::XmlToContactEx("<Contact>" + body + "</Contact>", record);
        const int r = m.WriteContacts(&record);
        if (result) *result = r;
        return record;
    }
    std::string Add(const std::string& body) { return Write("<lFlag>8</lFlag>" + body).m_strPIMID; }

    // The documents of a full read.
    std::vector<std::string> ReadAll() {
        docs.clear();
        EXPECT_EQ(m.ReadContacts("", ""), 0);
        return docs;
    }
    std::string ReadOne() {
        const auto all = ReadAll();
        EXPECT_EQ(all.size(), 1u);
        return all.empty() ? std::string() : all[0];
    }

    // The property of the stored contact, or nullopt when missing.
    std::optional<std::string> Stored(const std::string& pimid, ULONG tag) {
        ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m.ContactFolder(), pimid);
        if (!message) return std::nullopt;
        MapiBuffer<SPropValue> v = NAMESPACE_COMMON::GetOneProp(message.get(), tag);
        if (!v || PROP_TYPE(v->ulPropTag) == PT_ERROR) return std::nullopt;
        if (PROP_TYPE(tag) == PT_BOOLEAN) return v->Value.b ? "TRUE" : "FALSE";
        return nx::sys::Utf16ToUtf8(v->Value.lpszW);
    }
    ULONG Named(const std::string& pimid, LONG lid, ULONG type) {
        ComPtr<IMessage> message = NAMESPACE_COMMON::OpenMessageByHexId(m.ContactFolder(), pimid);
        return NAMESPACE_COMMON::GetNamedPropTag(message.get(), PSETID_Address, lid, type);
    }

    MapiTestWorld w;
    NAMESPACE_MAPI::CMAPIObject m;
    std::vector<std::string> docs;
};

bool Has(const std::string& xml, const std::string& text) {
    return xml.find(text) != std::string::npos;
}

TEST_F(ContactWriteStore, AnUpdateReplacesEverythingItCovers) {
    struct Case {
        const char* name;
        const char* first;   // the added contact's elements
        const char* update;  // the update's elements
        std::vector<const char*> present;
        std::vector<const char*> absent;
    };
    std::vector<Case> cases = {
        {"a field left out is removed",
         "<FirstName>A</FirstName><HomeCity>Paris</HomeCity>",
         "<FirstName>A</FirstName>",
         {"<FirstName>A</FirstName>"},
         {"HomeCity"}},
        {"composed name",
         "<FirstName>X</FirstName>",
         "<FirstName>Anne</FirstName><MiddleName>Marie Louise</MiddleName><LastName>Smith</LastName>",
         {"<FULLNAME>Anne Marie Louise Smith</FULLNAME>"},
         {"<FirstName>X"}},
        {"no name at all",
         "<FirstName>A</FirstName><LastName>B</LastName>",
         "<Mobile>1</Mobile>",
         {"<FULLNAME/>", "<Mobile1>1</Mobile1>"},
         {"FirstName", "LastName"}},
        {"IM prefixes", "", "<AIM>jdoe</AIM>", {"<SP-IMADRESS IMType=\"4023\">jdoe</SP-IMADRESS>"}, {}},
        {"the last IM service wins",
         "<AIM>jdoe</AIM>",
         "<IMAddress>me</IMAddress><ICQ>123</ICQ>",
         {"<SP-IMADRESS IMType=\"4029\">123</SP-IMADRESS>"},
         {}},
        {"categories with a trailing separator",
         "",
         "<Categories>A;B;</Categories>",
         {"<SP-CATEGORIES>A;B</SP-CATEGORIES>"},
         {}},
        {"categories with a leading separator",
         "<Categories>Z</Categories>",
         "<Categories>;A</Categories>",
         {"<SP-CATEGORIES>;A</SP-CATEGORIES>"},
         {}},
        {"an empty birthday", "<Birthday>1975-06-30</Birthday>", "<Birthday></Birthday>", {}, {"Birthday"}},
        {"an impossible birthday",
         "<Birthday>1975-06-30</Birthday>",
         "<Birthday>2001-02-29</Birthday>",
         {},
         {"Birthday"}},
        {"dates",
         "",
         "<Birthday>1975-06-30</Birthday><Anniversary>2000-1-2</Anniversary>",
         {"<Birthday>1975-06-30</Birthday>", "<Anniversary>2000-01-02</Anniversary>"},
         {}},
        {"one e-mail of three emptied",
         "<Email1>a@x</Email1><Email2>b@x</Email2><Email3>c@x</Email3>",
         "<Email1>a@x</Email1><Email2></Email2><Email3>c@x</Email3>",
         {"<SP-EMAIL1>a@x</SP-EMAIL1>", "<SP-EMAIL2/>", "<SP-EMAIL3>c@x</SP-EMAIL3>"},
         {}},
        {"the primary number is written",
         "<PrimaryNumber>1</PrimaryNumber>",
         "<PrimaryNumber>2</PrimaryNumber>",
         {"<PrimaryNumber>2</PrimaryNumber>"},
         {}},
    };
    for (const Case& c : cases) {
        const std::string pimid = Add(c.first);
        CContactEx updated = Write("<lFlag>4</lFlag><PIMID>" + pimid + "</PIMID>" + c.update);
        EXPECT_EQ(updated.m_lFlag, 0) << c.name;
        EXPECT_EQ(updated.m_strPIMID, pimid) << c.name;
        const std::string doc = ReadOne();
        for (const char* p : c.present) EXPECT_TRUE(Has(doc, p)) << c.name << ": " << p << "\n" << doc;
        for (const char* a : c.absent) EXPECT_FALSE(Has(doc, a)) << c.name << ": " << a << "\n" << doc;
        Write("<lFlag>32</lFlag><PIMID>" + pimid + "</PIMID>");
    }
}

TEST_F(ContactWriteStore, TheNameGroupAndTheE_MailQuadsGoAway) {
    const std::string pimid = Add("<FirstName>A</FirstName><Email1>a@x</Email1><Email2>b@x</Email2>");
    EXPECT_EQ(Stored(pimid, PR_DISPLAY_NAME_W), "A");
    EXPECT_EQ(Stored(pimid, PR_INITIALS_W), "A.");
    const ULONG type2 = Named(pimid, 0x8092, PT_UNICODE);
    EXPECT_EQ(Stored(pimid, type2), "SMTP");
    Write("<lFlag>4</lFlag><PIMID>" + pimid + "</PIMID><Email1>a@x</Email1>");
    for (ULONG tag : {PR_DISPLAY_NAME_W, PR_SUBJECT_W, PR_NORMALIZED_SUBJECT_W, PR_INITIALS_W,
                      Named(pimid, NAMESPACE_MAPI::kLidFileUnder, PT_UNICODE)})
        EXPECT_EQ(Stored(pimid, tag), std::nullopt) << std::hex << tag;
    for (LONG lid : {0x8090, 0x8092, 0x8093, 0x8094})
        EXPECT_EQ(Stored(pimid, Named(pimid, lid, PT_UNICODE)), std::nullopt) << std::hex << lid;
    EXPECT_EQ(Stored(pimid, Named(pimid, 0x8082, PT_UNICODE)), "SMTP");
    EXPECT_EQ(Stored(pimid, PR_MESSAGE_CLASS_W), "IPM.Contact");
}

// The write's edits made in one DeleteProps and one SetProps leave a message as the same edits
// made one call each: the last edit of an id wins, and a value the store refuses (a computed
// property) does not keep the others of the same call from being set.
TEST_F(ContactWriteStore, EditsAppliedTogetherEndAsEditsMadeOneByOne) {
    using NAMESPACE_COMMON::CPropEdits;
    struct Edit {
        ULONG tag;
        const char* text;  // null: removed; "" the setting rule's removal
    };
    const ULONG a = PR_DISPLAY_NAME_W, b = PR_SUBJECT_W, c = PR_INITIALS_W;
    const ULONG d = PROP_TAG(PT_UNICODE, 0x6637);  // another id with b's low byte
    const std::vector<std::vector<Edit>> cases = {
        {{a, "1"}, {a, nullptr}},                    // set, then removed: gone
        {{a, nullptr}, {a, "2"}},                    // removed, then set: set
        {{a, "1"}, {a, "3"}, {b, "x"}},              // the later value
        {{a, "1"}, {a, ""}, {c, "c"}},               // an empty text removes
        {{PR_HASATTACH, "no"}, {b, "y"}, {c, ""}},   // refused, the others still made
        {{a, nullptr}, {b, nullptr}, {c, nullptr}},  // only removals
        {{b, "1"}, {d, "2"}, {b, nullptr}},          // an edit of b leaves d alone
    };
    const auto make = [&](const std::vector<Edit>& edits, bool together) {
        ComPtr<IMessage> message;
        EXPECT_EQ(m.ContactFolder()->CreateMessage(nullptr, 0, message.put()), S_OK);
        // Something to remove first.
        for (ULONG tag : {a, b, c, d}) NAMESPACE_COMMON::SetTextOrDelete(message.get(), tag, "old");
        CPropEdits batch;
        for (const Edit& e : edits) {
            if (e.tag == PR_HASATTACH) {
                SPropValue v{};
                v.ulPropTag = PR_HASATTACH;
                v.Value.b = 1;
                together ? batch.Set(v) : NAMESPACE_COMMON::SetOneProp(message.get(), v);
            } else if (e.text == nullptr) {
                together ? batch.Delete(e.tag) : NAMESPACE_COMMON::DeleteOneProp(message.get(), e.tag);
            } else {
                together ? batch.SetText(e.tag, e.text)
                         : NAMESPACE_COMMON::SetTextOrDelete(message.get(), e.tag, e.text);
            }
        }
        batch.Apply(message.get());
        EXPECT_EQ(message->SaveChanges(0), S_OK);
        MapiBuffer<SPropValue> id = NAMESPACE_COMMON::GetOneProp(message.get(), PR_ENTRYID);
        return NAMESPACE_COMMON::BinaryToHexString(id->Value.bin.lpb, id->Value.bin.cb);
    };
    for (std::size_t n = 0; n < cases.size(); ++n) {
        SCOPED_TRACE(testing::Message() << "case " << n);
        const std::string together = make(cases[n], true);
        const std::string oneByOne = make(cases[n], false);
        for (ULONG tag : {a, b, c, d})
            EXPECT_EQ(Stored(together, tag), Stored(oneByOne, tag)) << std::hex << tag;
    }
}

TEST_F(ContactWriteStore, YomiNamesAreKeptByEveryWrite) {
    const auto file = w.Root() / "yomi.json";
    std::ofstream(file) << R"({"properties":[{"tag":"PR_MESSAGE_CLASS_W","value":"IPM.Contact"},)"
                        << R"({"set":"PSETID_Address","id":"0x802C","type":"PT_UNICODE","value":"yf"},)"
                        << R"({"set":"PSETID_Address","id":"0x802D","type":"PT_UNICODE","value":"yl"}]})";
    const std::string pimid = w.Admin({"item", "put", kContacts, file.string()});
    EXPECT_TRUE(Has(ReadOne(), "<SP-YOMIFIRSTNAME>yf</SP-YOMIFIRSTNAME>"));
    Write("<lFlag>4</lFlag><PIMID>" + pimid + "</PIMID><FirstName>A</FirstName>");
    const std::string doc = ReadOne();
    // The host has no element for them: what it cannot send it has not cleared.
    EXPECT_TRUE(Has(doc, "<SP-YOMIFIRSTNAME>yf</SP-YOMIFIRSTNAME>") &&
                Has(doc, "<SP_YOMILASTNAME>yl</SP_YOMILASTNAME>"))
        << doc;
}

TEST_F(ContactWriteStore, FlagsPickTheOperation) {
    // New and changed at once: added, and only the changed bit is left.
    CContactEx added = Write("<lFlag>12</lFlag><FirstName>A</FirstName>");
    EXPECT_EQ(added.m_lFlag, 4);
    ASSERT_FALSE(added.m_strPIMID.empty());
    EXPECT_EQ(added.m_dtModified.GetStatus(), CDateTime::valid);
    const std::string doc = ReadOne();
    EXPECT_TRUE(Has(doc, "<PIMID>" + added.m_strPIMID + "</PIMID>"));
    EXPECT_TRUE(
        Has(doc, "<lastModifiedTime>" + added.m_dtModified.Format(NAMESPACE_COMMON::kDateTimePattern)));

    struct Case {
        const char* name;
        std::string body;
        int32_t flagAfter;
    };
    const std::string other = added.m_strPIMID.substr(0, added.m_strPIMID.size() - 2) +
                              (added.m_strPIMID.substr(added.m_strPIMID.size() - 2) == "FF" ? "FE" : "FF");
    const Case unchanged[] = {
        {"no operation bit", "<lFlag>3</lFlag><PIMID>" + added.m_strPIMID + "</PIMID>", 3},
        {"a flag that is not a number", "<lFlag>x</lFlag><PIMID>" + added.m_strPIMID + "</PIMID>", 0},
        {"update of an unknown PIMID", "<lFlag>4</lFlag><PIMID>" + other + "</PIMID>", 4},
        {"delete of an unknown PIMID", "<lFlag>32</lFlag><PIMID>" + other + "</PIMID>", 32},
        {"update of an odd PIMID", "<lFlag>4</lFlag><PIMID>A</PIMID>", 4},
        {"update of a PIMID that is not hex", "<lFlag>4</lFlag><PIMID>zz</PIMID>", 4},
        {"update without a PIMID", "<lFlag>4</lFlag><FirstName>B</FirstName>", 4},
        {"delete of an id that names nothing", "<lFlag>32</lFlag><PIMID>00</PIMID>", 32},
    };
    for (const Case& c : unchanged) {
        int result = -1;
        CContactEx record = Write(c.body + "<FirstName>B</FirstName>", &result);
        EXPECT_EQ(result, 0) << c.name;
        EXPECT_EQ(record.m_lFlag, c.flagAfter) << c.name;
        const auto all = ReadAll();
        ASSERT_EQ(all.size(), 1u) << c.name;
        EXPECT_TRUE(Has(all[0], "<FirstName>A</FirstName>")) << c.name;
    }
    CContactEx deleted = Write("<lFlag>32</lFlag><PIMID>" + added.m_strPIMID + "</PIMID>");
    EXPECT_EQ(deleted.m_lFlag, 0);
    EXPECT_TRUE(ReadAll().empty());
    CContactEx again = Write("<lFlag>32</lFlag><PIMID>" + added.m_strPIMID + "</PIMID>");
    EXPECT_EQ(again.m_lFlag, 32);  // gone already: the delete fails and says so by its bit
    EXPECT_EQ(m.WriteContacts(nullptr), 1);
}

TEST_F(ContactWriteStore, APictureIsReplacedByAPictureRemovedWhenNoneIsSentAndKeptWhenRefused) {
    const auto dir = w.Root() / "pictures";
    std::filesystem::create_directories(dir);
    std::string jpeg = "\xFF\xD8\xFF\xE0";
    jpeg.resize(70000);  // more than the attachment table hands out whole
    for (std::size_t i = 4; i < jpeg.size(); ++i) jpeg[i] = static_cast<char>(i * 7 + (i >> 8));
    const std::string png = std::string("\x89PNG\r\n\x1A\n", 8) + "rest";
    const std::string gif = "GIF89a....";
    const std::string bmp = std::string("BM\0\0\0\0\0\0\0\0\0\0\0\0\x28\0\0\0", 18);
    std::ofstream(dir / "a.jpg", std::ios::binary) << jpeg;
    std::ofstream(dir / "b.png", std::ios::binary) << png;
    std::ofstream(dir / "c.gif", std::ios::binary) << gif;
    std::ofstream(dir / "d.bmp", std::ios::binary) << bmp;
    std::ofstream(dir / "text.jpg", std::ios::binary) << "root:x:0:0:root:/root:/bin/sh\n";
    std::ofstream(dir / "bm-text.jpg", std::ios::binary) << "BMW owners' club, minutes of the meeting";
    std::ofstream(dir / "empty.jpg", std::ios::binary) << "";
    std::ofstream(dir / "huge.jpg", std::ios::binary)
        << "\xFF\xD8\xFF" << std::string(NAMESPACE_MAPI::kMaxPictureBytes, 'x');
#ifndef _WIN32                                                 // Windows has no FIFO in the file system
    ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0600), 0);  // a picture "file" nobody writes
#endif
    const std::string a = (dir / "a.jpg").string();
    const std::string pimid = Add("<FirstName>P</FirstName><PICPath>" + a + "</PICPath>");
    const auto photo = [&] {
        const std::string doc = ReadOne();
        const std::string path = Has(doc, "<PICPath>") ? doc.substr(doc.find("<PICPath>") + 9) : "";
        return path.empty() ? std::string("<none>") : nx::test::ReadWholeFile(path.substr(0, path.find('<')));
    };
    const ULONG hasPicture = Named(pimid, NAMESPACE_MAPI::kLidHasPicture, PT_BOOLEAN);
    EXPECT_EQ(photo(), jpeg);
    EXPECT_EQ(Stored(pimid, hasPicture), "TRUE");
    EXPECT_EQ(Stored(pimid, PR_HASATTACH), "TRUE");

    // One after the other on the same contact: a refused file leaves whatever the step before stored.
    struct Case {
        const char* name;
        std::string picPath;  // "<none>": no PICPath element
        std::string expected;
    };
    std::vector<Case> cases = {
        {"a PNG replaces it", (dir / "b.png").string(), png},
        {"text is not a picture", (dir / "text.jpg").string(), png},
        {"a system file", "/etc/passwd", png},
        {"text that starts with BM", (dir / "bm-text.jpg").string(), png},
        {"an empty file", (dir / "empty.jpg").string(), png},
        {"a missing file", (dir / "missing.jpg").string(), png},
        {"a relative path", "pictures/a.jpg", png},
        {"a folder", dir.string(), png},
        {"a file over the cap", (dir / "huge.jpg").string(), png},
        {"a GIF", (dir / "c.gif").string(), gif},
        {"a BMP", (dir / "d.bmp").string(), bmp},
        {"no PICPath removes it", "<none>", "<none>"},
        {"a refusal keeps none as none", "/etc/passwd", "<none>"},
        {"the JPEG again", a, jpeg},
        {"an empty PICPath removes it", "", "<none>"},
    };
#ifndef _WIN32
    cases.insert(cases.begin() + 1, {"a FIFO is not waited on", (dir / "fifo.jpg").string(), png});
#endif
    for (const Case& c : cases) {
        const std::string pic = c.picPath == "<none>" ? "" : "<PICPath>" + c.picPath + "</PICPath>";
        Write("<lFlag>4</lFlag><PIMID>" + pimid + "</PIMID><FirstName>P</FirstName>" + pic);
        EXPECT_EQ(photo(), c.expected) << c.name;
        EXPECT_EQ(Stored(pimid, hasPicture), c.expected == "<none>" ? "FALSE" : "TRUE") << c.name;
    }
    // A new contact with a refused picture has none.
    const std::string added = Add("<FirstName>Q</FirstName><PICPath>/etc/passwd</PICPath>");
    EXPECT_EQ(Stored(added, hasPicture), "FALSE");
}

}  // namespace
