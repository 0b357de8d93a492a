// Contacts written back as they were read, end to end: the real agent, nxhost and stores built with
// mapiadmin. A host maps every document of a read to the inbound element names and writes it back
// unchanged; the store then dumps byte for byte as before (attachments included) and the next read
// equals the first. A change of one field changes that field's properties and nothing else. Values
// too large for a table row come back whole for both kinds.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <set>
#include <sstream>

#include "contacts/ContactFields.h"
#include "tests/e2e/StoreWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using namespace nx::e2e;
using NAMESPACE_MAPI::ContactField;
using NAMESPACE_MAPI::ContactFieldKind;

std::string Text(const std::string& tag, const std::string& value) {
    return R"({"tag":")" + tag + R"(","value":")" + value + R"("})";
}
std::string Named(const std::string& id, const std::string& value) {
    return R"({"set":"PSETID_Address","id":")" + id + R"(","type":"PT_UNICODE","value":")" + value + R"("})";
}

// A JPEG as far as its first bytes tell, then bytes that show a shifted or truncated copy.
std::string Jpeg(std::size_t size) {
    std::string bytes = "\xFF\xD8\xFF\xE0";
    bytes.resize(size);
    for (std::size_t i = 4; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + (i >> 9)) & 0xFF);
    return bytes;
}

// The raw text of the element (as escaped in the document), with its IMType for SP-IMADRESS.
std::string ImType(const std::string& xml) {
    const auto at = xml.find("<SP-IMADRESS IMType=\"");
    if (at == std::string::npos) return "";
    const auto start = at + 21;
    return xml.substr(start, xml.find('"', start) - start);
}

// What a host writes back for a read document: the same item (lFlag 4, its PIMID), each field's
// value under the inbound element name, the picture path it was given.
std::string WriteBack(const std::string& xml, const std::map<std::string, std::string>& change = {}) {
    std::string doc = "<Contact><lFlag>4</lFlag><PIMID>" + Element(xml, "PIMID") + "</PIMID>";
    doc += "<CsFolder>" + Element(xml, "CsFolder") + "</CsFolder>";
    const std::string imType = ImType(xml);
    for (const ContactField& f : NAMESPACE_MAPI::ContactFields()) {
        if (f.received == nullptr) continue;  // the yomi names: no inbound element
        std::string text;
        if (f.kind == ContactFieldKind::InstantMessaging) {
            if (imType != std::to_string(f.id)) continue;
            text = Element(xml, "SP-IMADRESS");
        } else {
            text = Element(xml, f.sent);
        }
        if (const auto it = change.find(f.received); it != change.end()) text = it->second;
        if (text != "<none>") doc += "<" + std::string(f.received) + ">" + text + "</" + f.received + ">";
    }
    const std::string picture = Element(xml, "PICPath");
    if (picture != "<none>") doc += "<PICPath>" + picture + "</PICPath>";
    return doc + "</Contact>";
}

std::string Dump(StoreWorld& w, const std::string& id) {
    return w.Run({w.Bin("mapiadmin").string(), "item", "dump", id}).out;
}

// The property entries of `after` that `before` does not have, and the other way round. A dump
// spreads an entry over lines: the lines are joined, and the text cut after each entry's "}".
std::vector<std::string> ChangedEntries(const std::string& before, const std::string& after) {
    const auto entries = [](const std::string& text) {
        std::string joined;
        std::istringstream in(text);
        for (std::string l; std::getline(in, l);)
            joined += l.substr(std::min(l.find_first_not_of(' '), l.size()));
        std::multiset<std::string> out;
        std::size_t start = 0;
        for (std::size_t end; (end = joined.find('}', start)) != std::string::npos; start = end + 1)
            out.insert(joined.substr(start, end + 1 - start));
        return out;
    };
    const auto a = entries(before), b = entries(after);
    std::vector<std::string> diff;
    std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(diff));
    return diff;
}

// Writes each document (one file each) in a session that then reads the folder whole.
std::vector<Delivered> WriteAndRead(StoreWorld& w, const std::vector<std::string>& documents) {
    std::vector<std::string> lines = {"MAPILogOn"};
    for (std::size_t i = 0; i < documents.size(); ++i) {
        const fs::path file = w.Root() / ("back-" + std::to_string(i) + ".xml");
        WriteWholeFile(file, documents[i]);
        lines.push_back("WriteContacts @" + file.string());
    }
    lines.insert(lines.end(), {"ReadContacts \"\" \"\"", "MAPILogOff", "Shutdown"});
    auto docs = w.Read(lines);
    EXPECT_EQ(w.ExitCode(), 0) << w.Output();
    for (std::size_t i = 0; i < documents.size(); ++i) EXPECT_EQ(w.ResultOf(1 + i), "0") << w.Output();
    return docs;
}

std::map<std::string, std::string> ByPimid(const std::vector<Delivered>& docs) {
    std::map<std::string, std::string> out;
    for (const auto& d : docs) out[Element(d.xml, "PIMID")] = d.xml + (d.hasPicture ? d.picture : "");
    return out;
}

TEST(ContactRoundTripE2E, DocumentsWrittenBackUnchangedLeaveTheStoreAsItWas) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    WriteWholeFile(w.Root() / "photo.jpg", Jpeg(5000));
    std::vector<std::string> ids;
    // Every field of the table, an EX and two SMTP e-mails (two with their original display names),
    // yomi names, categories, a photo that is the third attachment, a file-as that is no composition.
    ids.push_back(w.Put(kContacts, StoreWorld::ReplaceIds(GoldenText("full-contact.json"),
                                                          {{"{PHOTO}", (w.Root() / "photo.jpg").string()}})));
    // Two SMTP e-mails, each with its display name and original display name.
    ids.push_back(
        w.PutContact(kContacts, Text("PR_GIVEN_NAME_W", "Two") + "," + Named("0x8080", "Two (a)") + "," +
                                    Named("0x8082", "SMTP") + "," + Named("0x8083", "a@example.org") + "," +
                                    Named("0x8084", "Original A") + "," + Named("0x80A0", "Two (c)") + "," +
                                    Named("0x80A2", "SMTP") + "," + Named("0x80A3", "c@example.org") + "," +
                                    Named("0x80A4", "Original C")));
    // Instant messaging of several services, one a contact.
    for (const char* im : {"AIM:ada", "plain", "ICQ:123456", "GTALK:ada@example.org", "xyz:unknown"})
        ids.push_back(w.PutContact(kContacts, Text("PR_GIVEN_NAME_W", im) + "," + Named("0x8062", im)));
    // Birthday and anniversary on local midnights in summer time and on the day it starts.
    ids.push_back(w.PutContact(kContacts, Text("PR_SURNAME_W", "Summer") + "," +
                                              Text("PR_BIRTHDAY", "1990-07-14T22:00:00Z") + "," +
                                              Text("PR_WEDDING_ANNIVERSARY", "2015-03-28T23:00:00Z")));
    // A body of just a line end, a name without first name, no display name stored.
    ids.push_back(w.PutContact(kContacts, Text("PR_SURNAME_W", "Crlf") + "," + Text("PR_BODY_W", R"(\r\n)")));
    // Values too large for a table row: a column, a named address, the body.
    const std::string large(40000, 'L'), largeMail = std::string(20000, 'm') + "@example.org";
    ids.push_back(w.PutContact(kContacts, Text("PR_GIVEN_NAME_W", "Large") + "," +
                                              Text("PR_COMPANY_NAME_W", large) + "," +
                                              Named("0x8082", "SMTP") + "," + Named("0x8083", largeMail) +
                                              "," + Text("PR_BODY_W", std::string(100000, 'b'))));

    std::map<std::string, std::string> before;
    for (const auto& id : ids) before[id] = Dump(w, id);
    const auto first = w.Read({"MAPILogOn", "ReadContacts \"\" \"\"", "MAPILogOff", "Shutdown"});
    ASSERT_EQ(first.size(), ids.size()) << w.Output();
    const Delivered* largeDoc = ByElement(first, "FirstName", "Large");
    ASSERT_NE(largeDoc, nullptr);
    EXPECT_EQ(Element(largeDoc->xml, "CompanyX"), large);
    EXPECT_EQ(Element(largeDoc->xml, "SP-EMAIL1"), largeMail);

    std::vector<std::string> back;
    for (const auto& d : first) back.push_back(WriteBack(d.xml));
    const auto second = WriteAndRead(w, back);
    EXPECT_EQ(ByPimid(second), ByPimid(first));
    for (const auto& id : ids) EXPECT_EQ(Dump(w, id), before[id]) << id;

    // One field changed: its property changes, and the store's own bookkeeping of a save.
    const Delivered* ada = ByElement(first, "FirstName", "Ada");
    ASSERT_NE(ada, nullptr);
    const std::string adaId = Element(ada->xml, "PIMID");
    WriteAndRead(w, {WriteBack(ada->xml, {{"HomeCity", "Cobham"}})});
    for (const std::string& line : ChangedEntries(before[adaId], Dump(w, adaId))) {
        const bool expected = line.find("PR_HOME_ADDRESS_CITY_W") != std::string::npos ||
                              line.find("PR_LAST_MODIFICATION_TIME") != std::string::npos ||
                              line.find("PR_MESSAGE_SIZE") != std::string::npos;
        EXPECT_TRUE(expected) << line;
    }
    EXPECT_NE(Dump(w, adaId).find("Cobham"), std::string::npos);
}

TEST(ContactRoundTripE2E, AppointmentValuesTooLargeForARowComeBackWhole) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::string subject(40000, 's');
    w.PutAppointment(kCalendar, R"({"named":"PidLidAppointmentStartWhole","value":"2027-01-05T09:00:00Z"},)"
                                R"({"named":"PidLidAppointmentEndWhole","value":"2027-01-05T10:00:00Z"},)" +
                                    Text("PR_SUBJECT_W", subject));
    for (const std::string anchor : {"", "a"}) {
        const auto docs = w.Read(
            {"MAPILogOn", "ReadCalendars \"\" \"" + anchor + "\"", "MAPILogOff", "Shutdown"}, {}, "calendar");
        ASSERT_EQ(docs.size(), 1u) << w.Output();
        EXPECT_EQ(Element(docs[0].xml, "Description"), subject) << "anchor " << anchor;
    }
}

}  // namespace
