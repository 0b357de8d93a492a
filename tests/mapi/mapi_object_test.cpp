// CMAPIObject against the real runtime: logon and logoff, the machine's zone, profile listing
// before and after logon, the folder selections the host procedures cannot show (tests/
// e2e_session covers the selections and counts over RPC), the lock a read is handed, and the trace
// lines of reads that fail (the golden traces of tests/e2e_* show the reads that go through).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/Encoding.h"
#include "common/LogFile.h"
#include "common/MapiHelpers.h"
#include "mapi/MAPIObject.h"
#include "platform/system/DebugOutput.h"
#include "platform/system/Utf.h"
#include "tests/mapi/MapiTestWorld.h"
#include "tests/mapi/TraceLines.h"
#include "tests/support/ScopedEnv.h"

namespace {

using NAMESPACE_MAPI::CMAPIObject;
const std::string kTop = "Personal Folders/Top of Personal Folders/";

std::string IdOf(IMAPIProp* object) {
    MapiBuffer<SPropValue> v = NAMESPACE_COMMON::GetOneProp(object, PR_ENTRYID);
    if (!v || PROP_TYPE(v->ulPropTag) != PT_BINARY) return "";
    return NAMESPACE_COMMON::BinaryToHexString(v->Value.bin.lpb, v->Value.bin.cb);
}

class MapiObjectTest : public ::testing::Test {
protected:
    void SetUp() override {
        NX_REQUIRE_MAPI_RUNTIME();
        world = std::make_unique<nx::test::MapiTestWorld>();
    }
    void TearDown() override { mapi.MAPILogOff(); }

    std::unique_ptr<nx::test::MapiTestWorld> world;
    CMAPIObject mapi;
};

TEST_F(MapiObjectTest, LogonOutcomes) {
    world->Admin({"init"});
    world->Admin({"profile", "create", "O"});
    world->Admin({"--profile", "O", "store", "create", "One", "--standard-folders"});
    world->Admin({"profile", "create", "Empty"});  // no store, so no default store

    const struct {
        const char* profile;
        int result;
    } cases[] = {
        {"", 1}, {"O", 1}, {"Outlook", 1}, {"Empty", 0}, {"Z", 0}, {"", 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(mapi.MAPILogOn(nullptr, c.profile), c.result) << c.profile;
        EXPECT_EQ(mapi.IsLoggedOn(), c.result == 1) << c.profile;
        // A failed logon leaves nothing held and MAPI uninitialised.
        EXPECT_EQ(mapi.IsMAPIInitialized(), c.result == 1) << c.profile;
        EXPECT_EQ(mapi.MsgStore() != nullptr, c.result == 1) << c.profile;
        EXPECT_EQ(mapi.ContactFolder() != nullptr, c.result == 1) << c.profile;
        EXPECT_EQ(mapi.EventFolder() != nullptr, c.result == 1) << c.profile;
    }
    // Logged on to the default profile: the default folder ids by type code, index 6 empty.
    const auto& ids = mapi.DefaultFolderIds();
    const char* byType[] = {"Drafts", "Calendar", "Contacts", "Tasks", "Journal", "Notes"};
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(ids[i], world->Admin({"folder", "show", kTop + byType[i]})) << i;
    EXPECT_EQ(ids[6], "");
    EXPECT_EQ(IdOf(mapi.ContactFolder()), ids[2]);
    EXPECT_EQ(IdOf(mapi.EventFolder()), ids[1]);

    // Logon takes the machine's zone (pinned through TZ, which only the Linux zone source reads).
#ifndef _WIN32
    {
        const nx::test::ScopedEnv tz("TZ", "Europe/Berlin");
        ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    }
    const auto& zone = mapi.LocalTimeZone();
    EXPECT_EQ(zone.Bias, -60);
    EXPECT_EQ(zone.DaylightBias, -60);
    EXPECT_EQ(zone.StandardName, "W. Europe Standard Time");
    EXPECT_EQ(zone.DaylightName, "W. Europe Daylight Time");
    EXPECT_NE(zone.DisplayName.find("Berlin"), std::string::npos) << zone.DisplayName;
    EXPECT_EQ(zone.DaylightDate.wMonth, 3);
    EXPECT_EQ(zone.StandardDate.wMonth, 10);
#endif

    mapi.MAPILogOff();
    EXPECT_FALSE(mapi.IsLoggedOn());
    EXPECT_FALSE(mapi.IsMAPIInitialized());
    EXPECT_EQ(mapi.Session(), nullptr);
    mapi.MAPILogOff();  // never fails, whatever the state
}

TEST_F(MapiObjectTest, ProfileListingLeavesMapiAsItFoundIt) {
    world->Admin({"init"});
    world->Admin({"profile", "create", "Second & <more>"});
    std::string doc;
    EXPECT_EQ(mapi.GetAppProfile("x", &doc), 0);
    EXPECT_FALSE(mapi.IsMAPIInitialized());
    EXPECT_EQ(doc,
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<profiles name=\"outlook\">\n"
              "\t<node default=\"true\">\n\t\t<pname>Outlook</pname>\n\t</node>\n"
              "\t<node default=\"false\">\n\t\t<pname>Second &amp; &lt;more&gt;</pname>\n\t</node>\n"
              "</profiles>\n");

    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    std::string again;
    EXPECT_EQ(mapi.GetAppProfile("", &again), 0);
    EXPECT_EQ(again, doc);
    EXPECT_TRUE(mapi.IsLoggedOn());  // the session survives a listing after logon
    EXPECT_NE(mapi.Session(), nullptr);

    EXPECT_EQ(mapi.GetAppProfile(nullptr), 1);
    EXPECT_EQ(mapi.GetAppFolder(nullptr), 1);
    mapi.MAPILogOff();
    EXPECT_EQ(mapi.GetAppFolder("x"), 1);  // needs a session
}

TEST_F(MapiObjectTest, FolderSelectionInEveryStore) {
    world->Admin({"init"});
    world->Admin({"store", "create", "Archive"});
    const std::string archived = world->Admin(
        {"folder", "create", "Archive/Top of Personal Folders/Old People", "--class", "IPF.Contact"});
    const std::string archivedCal = world->Admin(
        {"folder", "create", "Archive/Top of Personal Folders/Old Days", "--class", "IPF.Appointment"});
    const std::string item = world->PutItem(kTop + "Contacts", "IPM.Contact", "Ada");
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    const std::string contacts = mapi.DefaultFolderIds()[2];
    const std::string calendar = mapi.DefaultFolderIds()[1];

    // Each selection starts from the second store's folder, so a failure shows as "kept".
    const struct {
        std::string text;
        int result;
        std::string selected;
    } contactCases[] = {
        {"<id>" + archived + "</id>", 0, archived},
        {"<id>0x" + archived + "</id>", 0, archived},
        {"", 0, contacts},
        {"   ", 0, contacts},
        {"<ID>" + archived + "</ID>", 1, archived},  // tags compare with case
        {"<id>" + item + "</id>", 1, archived},      // a message is no folder
        {"<id>A</id>", 1, archived},                 // no byte: no folder (not the store's root)
        {"<id>x</id>", 1, archived},
        {"<id>00112233</id>", 1, archived},  // names nothing
    };
    for (const auto& c : contactCases) {
        ASSERT_EQ(mapi.SetContactFolder(("<id>" + archived + "</id>").c_str()), 0);
        EXPECT_EQ(mapi.SetContactFolder(c.text.c_str()), c.result) << c.text;
        EXPECT_EQ(IdOf(mapi.ContactFolder()), c.selected) << c.text;
    }
    EXPECT_EQ(mapi.SetContactFolder(nullptr), 1);
    EXPECT_EQ(mapi.SetCalendarFolder(nullptr), 1);
    EXPECT_EQ(mapi.GetContactCountFromFolder(0, nullptr), 0);
    EXPECT_EQ(mapi.GetCalendarEventCountFromFolder(3, reinterpret_cast<const BYTE*>("abc")), 0);

    const struct {
        std::string text;
        int result;
        std::string selected;
    } calendarCases[] = {
        {"<id><event>" + archivedCal + "</event></id>", 0, archivedCal},
        {"<event><id>" + archivedCal + "</id></event>", 0, archivedCal},
        {"", 0, calendar},
        {"<event><id>" + std::string(1200, 'A') + "</id></event>", 1, archivedCal},  // too long
    };
    for (const auto& c : calendarCases) {
        ASSERT_EQ(mapi.SetCalendarFolder(("<event><id>" + archivedCal + "</id></event>").c_str()), 0);
        EXPECT_EQ(mapi.SetCalendarFolder(c.text.c_str()), c.result) << c.text;
        EXPECT_EQ(IdOf(mapi.EventFolder()), c.selected) << c.text;
    }

    // Without a session nothing can be selected.
    mapi.MAPILogOff();
    EXPECT_EQ(mapi.SetContactFolder(""), 1);
    EXPECT_EQ(mapi.SetContactFolder(("<id>" + archived + "</id>").c_str()), 1);
    EXPECT_EQ(mapi.SetCalendarFolder(""), 1);
}

// A folder chain deeper than any real store: every walk stops at the same depth, 256 levels
// counted from the folder it starts at, and the agent neither overflows its stack nor fails.
TEST_F(MapiObjectTest, FolderWalksStopAtTheDepthCap) {
    world->Admin({"init"});
    std::string chain = kTop + "Contacts";
    std::vector<std::string> levels;  // levels[k - 1]: the path of the k-th nested folder
    for (int k = 1; k <= 260; ++k) levels.push_back(chain += "/d");
    world->Admin({"folder", "create", chain, "--class", "IPF.Contact", "--parents"});
    // The selected folder is level 1, so d255 is level 256, the last one counted.
    for (int k : {255, 256}) world->PutItem(levels[k - 1], "IPM.Contact", "level " + std::to_string(k));

    NAMESPACE_MAPI::CMAPIConfig config;
    config.subFolder = true;
    mapi.SetConfig(config);
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    ASSERT_EQ(mapi.SetContactFolder(""), 0);
    EXPECT_EQ(mapi.GetContactCount(), 1);

    // The tree starts at the top of the store (level 1, so Contacts is level 2): d254 is the
    // deepest folder whose sub-folders are listed, so d255 is the last one in the document.
    std::string doc;
    ASSERT_EQ(mapi.GetAppFolder("x", &doc), 0);
    std::size_t listed = 0;
    for (std::size_t at = doc.find("<fname>d</fname>"); at != std::string::npos;
         at = doc.find("<fname>d</fname>", at + 1))
        ++listed;
    EXPECT_EQ(listed, 255u);
}

// A read handed the guard of the object's lock releases it while each document is with the host,
// and holds it again when it answers, whichever kind and whichever read.
TEST_F(MapiObjectTest, AReadReleasesTheGuardItIsHandedWhileTheHostHasADocument) {
    world->Admin({"init"});
    world->PutItem(kTop + "Contacts", "IPM.Contact", "Ada");
    world->PutItem(kTop + "Calendar", "IPM.Appointment", "Tea");
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    NAMESPACE_MAPI::MAPIObjectGuard held = NAMESPACE_MAPI::LockMAPIObject();
    int documents = 0;
    int withTheLockHeld = 0;
    const NAMESPACE_MAPI::DocumentSink sink = [&](std::string_view) {
        ++documents;
        if (held.owns_lock()) ++withTheLockHeld;
        return 0u;
    };
    mapi.SetContactSink(sink);
    mapi.SetCalendarSink(sink);
    const struct {
        bool calendar;
        const char* anchor;
    } cases[] = {{false, ""}, {false, "new"}, {true, ""}, {true, "new"}};
    for (const auto& c : cases) {
        const int result =
            c.calendar ? mapi.ReadCalendars("", c.anchor, &held) : mapi.ReadContacts("", c.anchor, &held);
        EXPECT_EQ(result, 0) << c.calendar << c.anchor;
        EXPECT_TRUE(held.owns_lock()) << c.calendar << c.anchor;
    }
    EXPECT_EQ(documents, 4);
    EXPECT_EQ(withTheLockHeld, 0);
}

// A full read of a folder larger than a page of whole rows sends every item once, in the folder's
// order, and a host that stops taking documents on a later page ends the read there, failed.
TEST_F(MapiObjectTest, AFullReadOfManyPagesSendsEveryItemOnceAndStopsWhereTheHostDoes) {
    world->Admin({"init"});
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    constexpr int kItems = 600;  // two whole pages of 256 rows and part of a third
    IMAPIFolder* folder = mapi.ContactFolder();
    ASSERT_NE(folder, nullptr);
    for (int i = 0; i < kItems; ++i) {
        ComPtr<IMessage> message;
        ASSERT_TRUE(SUCCEEDED(folder->CreateMessage(nullptr, 0, message.put())));
        std::u16string name = nx::sys::Utf8ToUtf16("Item " + std::to_string(i));
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_MESSAGE_CLASS_W;
        values[0].Value.lpszW = const_cast<char16_t*>(u"IPM.Contact");
        values[1].ulPropTag = PR_DISPLAY_NAME_W;
        values[1].Value.lpszW = name.data();
        ASSERT_TRUE(SUCCEEDED(message->SetProps(2, values, nullptr)));
        ASSERT_TRUE(SUCCEEDED(message->SaveChanges(0)));
    }
    const struct {
        int takes;  // documents the host takes before it fails one (-1: all)
        int result;
        std::size_t sent;
    } cases[] = {{-1, 0, kItems}, {300, 1, 301}, {0, 1, 1}};
    std::vector<std::string> whole;  // the first case's documents: every item
    for (const auto& c : cases) {
        std::vector<std::string> ids;
        mapi.SetContactSink([&](std::string_view xml) {
            const auto at = xml.find("<PIMID>");
            ids.emplace_back(at == std::string_view::npos ? std::string_view() : xml.substr(at, 80));
            return c.takes < 0 || static_cast<int>(ids.size()) <= c.takes ? 0u : 1726u;
        });
        EXPECT_EQ(mapi.ReadContacts("", ""), c.result) << c.takes;
        EXPECT_EQ(ids.size(), c.sent) << c.takes;
        std::vector<std::string> distinct = ids;
        std::sort(distinct.begin(), distinct.end());
        EXPECT_EQ(std::unique(distinct.begin(), distinct.end()), distinct.end()) << c.takes;
        EXPECT_EQ(std::count(ids.begin(), ids.end(), std::string()), 0) << c.takes;
        if (whole.empty()) whole = ids;
        // The same items in the same order up to where the host stopped.
        EXPECT_TRUE(ids.size() <= whole.size() && std::equal(ids.begin(), ids.end(), whole.begin()))
            << c.takes;
    }
}

// The lines the host's trace readers know for the reads that fail: the folder part of the calendar
// read ends without its Finish line when there is no folder, and a change read whose delivery
// fails skips the commit.
TEST_F(MapiObjectTest, ReadsThatFailTraceTheHostsLines) {
    world->Admin({"init"});
    nx::test::TraceLines trace;
    EXPECT_EQ(mapi.ReadContacts("", ""), 1);  // logged off: no folder
    EXPECT_EQ(trace.Take(), (std::vector<std::string>{"CMAPIObject::ReadContacts - Begin",
                                                      "CMAPIObject::ReadContacts - NULL m_lpContactFolder",
                                                      "CMAPIObject::ReadContacts - Finish"}));
    EXPECT_EQ(mapi.ReadCalendars("", ""), 1);
    EXPECT_EQ(
        trace.Take(),
        (std::vector<std::string>{
            "CMAPIObject::ReadCalendars - Begin", "CMAPIObject::GetCalendarCount - Begin",
            "CMAPIObject::GetCalendarEventCount - Begin", "CMAPIObject::GetCalendarEventCount - Finish",
            "CMAPIObject::GetCalendarCount - Finish", "CMAPIObject::ReadCalenda - Calendar Count(0)",
            "CMAPIObject::ReadCalendarEvent - Begin", "CMAPIObject::ReadCalendarEvent - NULL m_lpEventFolder",
            "CMAPIObject::ReadCalendars - Read Failed", "CMAPIObject::ReadCalendars - Finish"}));

    const std::string ada = world->PutItem(kTop + "Contacts", "IPM.Contact", "Ada");
    const std::string tea = world->PutItem(kTop + "Calendar", "IPM.Appointment", "Tea");
    ASSERT_EQ(mapi.MAPILogOn(nullptr, ""), 1);
    const auto refused = [](std::string_view) { return 1727u; };  // RPC_S_CALL_FAILED
    mapi.SetContactSink(refused);
    mapi.SetCalendarSink(refused);
    trace.Take();
    const auto from = [](std::vector<std::string> lines, const std::string& first) {
        return std::vector<std::string>(std::find(lines.begin(), lines.end(), first), lines.end());
    };
    EXPECT_EQ(mapi.ReadContacts("", "a"), 1);
    EXPECT_EQ(from(trace.Take(ada), "CMAPIObject::ReadContacts - Call GetChangeLog"),
              (std::vector<std::string>{
                  "CMAPIObject::ReadContacts - Call GetChangeLog", "CMAPIObject::ReadContacts - Read Changes",
                  "CMAPIObject::ReadContactFromLog - Begin", "CMAPIObject::ReadContactFromLog - New({id})",
                  "CMAPIObject::ReadContactFromLog - DeliverContact(0X000006BF)",
                  "CMAPIObject::ReadContactFromLog - Finish(Failed)",
                  "CMAPIObject::ReadContacts - Failed to read contacts from log",
                  "CMAPIObject::ReadContacts - CommitChangeLog skipped: not every change reached the host",
                  "CMAPIObject::ReadContacts - Finish"}));
    EXPECT_EQ(mapi.ReadCalendars("", "a"), 1);
    EXPECT_EQ(
        from(trace.Take(tea), "CMAPIObject::ReadCalendarEvent - Call GetChangeLog"),
        (std::vector<std::string>{
            "CMAPIObject::ReadCalendarEvent - Call GetChangeLog",
            "CMAPIObject::ReadCalendarEvent - Read Changes", "CMAPIObject::ReadCalendarEventFromLog - Begin",
            "CMAPIObject::ReadCalendarEventFromLog - New({id})",
            "CMAPIObject::ReadCalendarEventFromLog - DeliverCalendar(0X000006BF)",
            "CMAPIObject::ReadCalendarEventFromLog - Finish(Failed)",
            "CMAPIObject::ReadCalendarEvent - Failed to read from log",
            "CMAPIObject::ReadCalendarEvent - CommitChangeLog skipped: not every change reached the host",
            "CMAPIObject::before logArrayRemoveall", "CMAPIObject::before pfnfreeBuffer",
            "CMAPIObject::ReadCalendarEvent - Finish(Failed)", "CMAPIObject::ReadCalendars - Read Failed",
            "CMAPIObject::ReadCalendars - Finish"}));
}

}  // namespace
