// The scope of a write end to end: an update or a deletion, of either kind, acts only on an item the
// agent's own read of the selected folder delivers. Every other item a PIMID can name (of another
// folder, of the other kind, a mail, of another store, one that is gone) stays exactly as mapiadmin
// dumped it before, the write answers the empty identifier and time text, and the trace names the
// refusal.
#include <gtest/gtest.h>

#include <map>

#include "tests/e2e/StoreWorld.h"

namespace {

using namespace nx::e2e;

const std::string kTop = "Personal Folders/Top of Personal Folders/";

std::string Subject(const std::string& text) {
    return R"({"tag":"PR_SUBJECT_W","value":")" + text + R"("})";
}
std::string Given(const std::string& text) {
    return R"({"tag":"PR_GIVEN_NAME_W","value":")" + text + R"("})";
}

// A write of the kind's document with the flag for the PIMID.
std::string WriteDocument(bool contact, int flag, const std::string& pimid) {
    const std::string head = "<lFlag>" + std::to_string(flag) + "</lFlag><PIMID>" + pimid + "</PIMID>";
    if (contact) return "<Contact>" + head + "<FirstName>Overwritten</FirstName></Contact>";
    return "<Calendar>" + head +
           "<Description>Overwritten</Description><lCalType>3</lCalType><bAlldayEvent>FALSE</bAlldayEvent>"
           "<dtStartTime>2027/01/12 10:00:00</dtStartTime><dtEndTime>2027/01/12 11:00:00</dtEndTime>"
           "<RecurType>0</RecurType></Calendar>";
}

struct Target {
    std::string name;
    std::string id;
    const char* refusal;  // the words of the trace line
};

TEST(WriteScopeE2E, UpdatesAndDeletionsOfItemsTheReadDoesNotDeliverChangeNothing) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.Admin({"folder", "create", kTop + "Other Contacts", "--class", "IPF.Contact"});
    w.Admin({"folder", "create", kContacts + "/Friends", "--class", "IPF.Contact"});
    w.Admin({"folder", "create", kTop + "Other Calendar", "--class", "IPF.Appointment"});
    w.Admin({"store", "create", "Second", "--standard-folders"});
    const std::string second = "Second/Top of Personal Folders/";
    const std::string start = R"({"named":"PidLidAppointmentStartWhole","value":"2027-01-05T09:00:00Z"},)"
                              R"({"named":"PidLidAppointmentEndWhole","value":"2027-01-05T10:00:00Z"},)";

    const std::string contact = w.PutContact(kContacts, Given("Own"));
    const std::string appointment = w.PutAppointment(kCalendar, start + Subject("Own"));
    const std::string mail = w.PutItem(kTop + "Inbox", "IPM.Note", "A mail");
    const std::string gone = w.PutContact(kContacts, Given("Gone"));
    const std::string goneAppointment = w.PutAppointment(kCalendar, start + Subject("Gone"));
    w.Admin({"item", "delete", gone, goneAppointment});
    // A class derived from the kind's is not one the read delivers.
    const std::string derived = w.PutContact(kContacts, Given("Derived"), "", "IPM.Contact.Custom");

    const std::map<bool, std::vector<Target>> targets = {
        {true,
         {{"contact of another folder", w.PutContact(kTop + "Other Contacts", Given("Other")),
           "an item of another folder"},
          {"contact of a sub-folder, sub-folders off", w.PutContact(kContacts + "/Friends", Given("Friend")),
           "an item of another folder"},
          {"appointment", appointment, "an item of another class"},
          {"derived class", derived, "an item of another class"},
          {"mail", mail, "an item of another class"},
          {"contact of another store", w.PutContact(second + "Contacts", Given("Second"), ""),
           "an item of another store"},
          {"deleted contact", gone, "no such item"}}},
        {false,
         {{"appointment of another folder",
           w.PutAppointment(kTop + "Other Calendar", start + Subject("Other")), "an item of another folder"},
          {"contact", contact, "an item of another class"},
          {"mail", mail, "an item of another class"},
          {"appointment of another store", w.PutAppointment(second + "Calendar", start + Subject("Second")),
           "an item of another store"},
          {"deleted appointment", goneAppointment, "no such item"}}},
    };

    std::map<std::string, std::string> before;
    for (const auto& [kind, list] : targets)
        for (const Target& t : list)
            if (t.id != gone && t.id != goneAppointment)
                before[t.id] = w.Run({w.Bin("mapiadmin").string(), "item", "dump", t.id}).out;

    struct Write {
        bool contact;
        int flag;
        const Target* target;
    };
    std::vector<Write> writes;
    std::vector<std::string> lines = {"MAPILogOn", "SetCalendarFolder \"\""};
    for (const auto& [kind, list] : targets)
        for (int flag : {4, 32})
            for (const Target& t : list) {
                const fs::path file = w.Root() / ("write-" + std::to_string(writes.size()) + ".xml");
                WriteWholeFile(file, WriteDocument(kind, flag, t.id));
                lines.push_back((kind ? "WriteContacts @" : "WriteCalendars @") + file.string());
                writes.push_back({kind, flag, &t});
            }
    lines.insert(lines.end(), {"MAPILogOff", "Shutdown"});
    w.Read(lines);
    ASSERT_EQ(w.Calls().size(), lines.size()) << w.Output();

    const std::string trace = w.JoinedTrace();
    std::size_t at = 0;
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const Write& write = writes[i];
        SCOPED_TRACE(std::string(write.contact ? "contact write, " : "calendar write, ") +
                     (write.flag == 4 ? "update of " : "deletion of ") + write.target->name);
        const Call& call = w.Calls()[2 + i];
        EXPECT_EQ(Out(call, "result"), "0") << w.Output();
        EXPECT_EQ(Out(call, "identifier"), "");
        EXPECT_EQ(Out(call, "time"), "");
        // The write's own lines, from its Begin to its Finish, hold the refusal.
        const std::string procedure =
            write.contact ? "CMAPIObject::WriteContacts - " : "CMAPIObject::WriteCalendars - ";
        at = trace.find(procedure + "Begin\n", at);
        ASSERT_NE(at, std::string::npos) << trace;
        const std::size_t end = trace.find(procedure + "Finish\n", at);
        const std::string line =
            procedure + (write.flag == 4 ? "Update" : "Delete") + " refused: " + write.target->refusal + "\n";
        EXPECT_NE(trace.substr(at, end - at).find(line), std::string::npos) << trace.substr(at, end - at);
        at = end;
    }
    for (const auto& [id, dump] : before)
        EXPECT_EQ(w.Run({w.Bin("mapiadmin").string(), "item", "dump", id}).out, dump) << id;
}

TEST(WriteScopeE2E, ItemsTheReadDeliversAreUpdatedAndDeletedAlsoBelowTheSelection) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.SetSubFolder(true);
    w.Admin({"folder", "create", kContacts + "/Friends/Close", "--class", "IPF.Contact", "--parents"});
    // A folder of another class below the selection: the read does not walk into it.
    w.Admin({"folder", "create", kContacts + "/Notes", "--class", "IPF.Note"});
    const std::string own = w.PutContact(kContacts, Given("Own"));
    const std::string deep = w.PutContact(kContacts + "/Friends/Close", Given("Deep"));
    const std::string notes = w.PutContact(kContacts + "/Notes", Given("Noted"));
    const std::string gone = w.PutContact(kContacts + "/Friends", Given("Gone"));
    // Classes another program wrote in lower case: the read's equality restrictions ignore case.
    w.Admin({"folder", "create", kContacts + "/Lower", "--class", "ipf.contact"});
    const std::string lower = w.PutContact(kContacts + "/Lower", Given("Lower"), "", "ipm.contact");
    const std::string noteDump = w.Run({w.Bin("mapiadmin").string(), "item", "dump", notes}).out;

    std::vector<std::string> lines = {"MAPILogOn"};
    const std::vector<std::pair<int, std::string>> writes = {
        {4, own}, {4, deep}, {4, notes}, {32, gone}, {4, lower}};
    for (std::size_t i = 0; i < writes.size(); ++i) {
        const fs::path file = w.Root() / ("write-" + std::to_string(i) + ".xml");
        WriteWholeFile(file, WriteDocument(true, writes[i].first, writes[i].second));
        lines.push_back("WriteContacts @" + file.string());
    }
    lines.insert(lines.end(), {"ReadContacts \"\" \"\"", "MAPILogOff", "Shutdown"});
    const auto docs = w.Read(lines);
    ASSERT_EQ(w.Calls().size(), lines.size()) << w.Output();
    const std::string identifiers[] = {own, deep, "", gone, lower};
    for (std::size_t i = 0; i < writes.size(); ++i)
        EXPECT_EQ(Out(w.Calls()[1 + i], "identifier"), identifiers[i]) << i << w.Output();
    for (const std::string& id : {own, deep, lower}) {
        const Delivered* doc = ByElement(docs, "PIMID", id);
        ASSERT_NE(doc, nullptr) << w.Output();
        EXPECT_EQ(Element(doc->xml, "FirstName"), "Overwritten");
    }
    EXPECT_EQ(ByElement(docs, "PIMID", gone), nullptr);
    EXPECT_EQ(w.Run({w.Bin("mapiadmin").string(), "item", "dump", notes}).out, noteDump);
}

// A write keeps what it learnt of the selection (the folder's ids, the store's named-property ids)
// only while that folder stays selected: after another selection, of the same store or of another
// one whose names have other ids, each write checks and stores against the folder selected now.
TEST(WriteScopeE2E, EachWriteActsOnTheFolderSelectedWhenItRuns) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    const std::string other =
        w.Admin({"folder", "create", kTop + "Other Contacts", "--class", "IPF.Contact"});
    w.Admin({"store", "create", "Second", "--standard-folders"});
    const std::string people =
        w.Admin({"folder", "create", "Second/Top of Personal Folders/People", "--class", "IPF.Contact"});
    // A name mapped in the second store first: its names get other ids than in the first.
    w.PutContact("Second/Top of Personal Folders/People", R"({"named":"PidLidLocation","value":"Here"})");
    const std::string own = w.PutContact(kContacts, Given("Own"));
    const std::string mine = w.PutContact(kTop + "Other Contacts", Given("Mine"));
    const std::string far = w.PutContact("Second/Top of Personal Folders/People", Given("Far"));

    const auto update = [&](const std::string& pimid, const std::string& name) {
        const fs::path file = w.Root() / ("write-" + name + ".xml");
        WriteWholeFile(file, "<Contact><lFlag>4</lFlag><PIMID>" + pimid + "</PIMID><FirstName>" + name +
                                 "</FirstName><Email1>" + name +
                                 "@example.org</Email1>"
                                 "<Categories>" +
                                 name + "</Categories></Contact>");
        return "WriteContacts @" + file.string();
    };
    const std::vector<std::string> lines = {"MAPILogOn",
                                            update(own, "First"),
                                            "SetContactFolder \"<id>" + other + "</id>\"",
                                            update(own, "Refused"),
                                            update(mine, "Second"),
                                            "SetContactFolder \"<id>" + people + "</id>\"",
                                            update(far, "Third"),
                                            "ReadContacts \"\" \"\"",
                                            "SetContactFolder \"\"",
                                            "ReadContacts \"\" \"\"",
                                            "MAPILogOff",
                                            "Shutdown"};
    const auto docs = w.Read(lines);
    ASSERT_EQ(w.Calls().size(), lines.size()) << w.Output();
    EXPECT_EQ(Out(w.Calls()[1], "identifier"), own) << w.Output();
    EXPECT_EQ(Out(w.Calls()[3], "identifier"), "") << w.Output();  // no longer in the selection
    EXPECT_EQ(Out(w.Calls()[4], "identifier"), mine) << w.Output();
    EXPECT_EQ(Out(w.Calls()[6], "identifier"), far) << w.Output();
    // Read back through each store's own names: what each write stored is where the read finds it.
    for (const auto& [id, name] : {std::pair{far, "Third"}, {own, "First"}}) {
        const Delivered* doc = ByElement(docs, "PIMID", id);
        ASSERT_NE(doc, nullptr) << name << w.Output();
        EXPECT_EQ(Element(doc->xml, "FirstName"), name);
        EXPECT_EQ(Element(doc->xml, "SP-EMAIL1"), std::string(name) + "@example.org");
        EXPECT_EQ(Element(doc->xml, "SP-CATEGORIES"), name);
    }
}

}  // namespace
