// The first half of a host session through RPC against a real store: profiles and folders
// documents, logon, folder selection in any store, counts with and without sub-folders, logoff,
// and the trace log of a scripted session, line by line.
#include <gtest/gtest.h>

#include "tests/e2e/StoreWorld.h"
#include "tests/support/GoldenTrace.h"

namespace {

using nx::e2e::Out;
using nx::e2e::ReadWholeFile;
using nx::e2e::StoreWorld;

const std::string kTop = "Personal Folders/Top of Personal Folders/";
const std::string kArchive = "Archive/Top of Personal Folders/";

TEST(SessionE2E, ProfilesDocumentListsEveryProfileInTableOrder) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.Admin({"profile", "create", "Work & Play"});
    const auto calls = w.Session({"GetAppProfile x", "Shutdown"});
    ASSERT_GE(calls.size(), 1u) << w.Output();
    EXPECT_EQ(calls[0].outs.at("result"), "0");
    EXPECT_EQ(w.Document("Profile.xml"),
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<profiles name=\"outlook\">\n"
              "\t<node default=\"true\">\n\t\t<pname>Outlook</pname>\n\t</node>\n"
              "\t<node default=\"false\">\n\t\t<pname>Work &amp; Play</pname>\n\t</node>\n"
              "</profiles>\n");
}

TEST(SessionE2E, FoldersDocumentOfTwoStoresAndADeepTree) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.Admin({"store", "create", "Archive"});
    const std::vector<std::pair<std::string, std::string>> folders = {
        {kArchive + "Projects", "IPF.Note"},
        {kArchive + "Projects/People", "IPF.Contact"},
        {kArchive + "Projects/People/Family", "IPF.Contact.Special"},
        {kArchive + "Projects/People/Family/Events", "IPF.Appointment"},
        {kArchive + "Projects/People/Family/Events/Old", ""},
        {kArchive + "Projects/People/Family/Events/Old/R&D <2009>", "IPF.Task"},
        {kArchive + "Board", "IPF.StickyNote"},
        {kTop + "Contacts/Friends", "IPF.Contact"},
        {kTop + "Inbox/Receipts", "IPF.Note.Receipts"},
        {kTop + "Calendar/Holidays", "IPF.Appointment"},
    };
    for (const auto& [path, cls] : folders) {
        if (cls.empty())
            w.Admin({"folder", "create", path});
        else
            w.Admin({"folder", "create", path, "--class", cls});
    }
    const auto calls = w.Session({"MAPILogOn", "GetAppFolder x", "Shutdown"});
    ASSERT_GE(calls.size(), 2u) << w.Output();
    EXPECT_EQ(calls[0].outs.at("result"), "0");
    EXPECT_EQ(calls[1].outs.at("result"), "0");
    nx::e2e::ExpectMatchesGoldenDocument(StoreWorld::ReplaceIds(w.Document("Outlook.xml"), w.EntryIdNames()),
                                         "Outlook.xml");
}

TEST(SessionE2E, LogonToDefaultOneCharacterAndStorelessProfiles) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.Admin({"profile", "create", "Q"});
    w.Admin({"--profile", "Q", "store", "create", "Quiet", "--standard-folders"});
    w.PutItem("Quiet/Top of Personal Folders/Contacts", "IPM.Contact", "only one", "Q");
    w.Admin({"profile", "create", "E"});  // no store: the stores table has no default store
    const auto calls =
        w.Session({"MAPILogOn", "GetContactCount", "MAPILogOn Q", "GetContactCount", "MAPILogOn E",
                   "GetContactCount", "MAPILogOn Z", "MAPILogOn", "MAPILogOff", "Shutdown"});
    ASSERT_GE(calls.size(), 9u) << w.Output();
    const struct {
        std::size_t call;
        const char* key;
        const char* value;
    } expected[] = {
        {0, "result", "0"}, {1, "count", "0"}, {2, "result", "0"}, {3, "count", "1"},
        {4, "result", "1"}, {5, "count", "0"}, {6, "result", "1"}, {7, "result", "0"},
    };
    for (const auto& e : expected)
        EXPECT_EQ(calls[e.call].outs.at(e.key), e.value) << calls[e.call].line << "\n" << w.Output();

    // The storeless profile: logged on, no default store row, then MAPI is uninitialised.
    const std::string joined = w.JoinedTrace();
    const std::string storeless =
        "CMAPIObject::MAPILogOn - pfnHrQueryAllRows(0X00000000)\n"
        "CMAPIObject::MAPILogOff : Begin\n"
        "CMAPIObject::MAPIRelease : Begin\n"
        "CMAPIObject::MAPIRelease : 1\n"
        "CMAPIObject::MAPIRelease : 2\n"
        "CMAPIObject::MAPIRelease : 3\n"
        "CMAPIObject::MAPIRelease - m_lpMAPISession->Logoff(0X00000000)\n"
        "CMAPIObject::MAPIRelease : 4\n"
        "CMAPIObject::MAPIRelease : Finish\n"
        "CMAPIObject::MAPIUninitialize : Begin\n"
        "CMAPIObject::MAPIUninitialize - pfnMAPIUninitialize(0X00000000)\n"
        "CMAPIObject::MAPIUninitialize : Finish\n"
        "CMAPIObject::MAPILogOff : Finish\n"
        "CMAPIObject::MAPILogOn - Finish(Failed)\n";
    EXPECT_NE(joined.find(storeless), std::string::npos) << joined;
}

TEST(SessionE2E, DocumentsWithoutXmlPathOrAnUnwritableFile) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    // Without "XMLPath" both documents are built and nothing is saved: result 0.
    nx::e2e::WriteWholeFile(w.Root() / "agent/PIMProfile.ini", "[Outlook]\r\nsubfolder=false\r\n");
    auto calls = w.Session({"GetAppProfile x", "MAPILogOn", "GetAppFolder x", "Shutdown"});
    ASSERT_GE(calls.size(), 3u) << w.Output();
    EXPECT_EQ(calls[0].outs.at("result"), "0");
    EXPECT_EQ(calls[2].outs.at("result"), "0");
    EXPECT_FALSE(std::filesystem::exists(w.Root() / "data/Sync"));

    // A document that cannot be saved: result 1 and the failure in the trace.
    w.SetSubFolder(false);
    std::filesystem::create_directories(w.Root() / "data/Sync/Outlook.xml");
    std::filesystem::create_directories(w.Root() / "data/Sync/Profile.xml");
    calls = w.Session({"GetAppProfile x", "MAPILogOn", "GetAppFolder x", "Shutdown"});
    ASSERT_GE(calls.size(), 3u) << w.Output();
    EXPECT_EQ(calls[0].outs.at("result"), "1");
    EXPECT_EQ(calls[1].outs.at("result"), "0");
    EXPECT_EQ(calls[2].outs.at("result"), "1");
    const std::string trace = w.JoinedTrace();
    EXPECT_NE(trace.find("CMAPIObject::GetAppProfile : Failed to Save Profiles\n"
                         "CMAPIObject::MAPIRelease : Begin\n"),
              std::string::npos)
        << trace;
    EXPECT_NE(trace.find("CMAPIObject::GetAppFolder : Failed to Save Folders\n"
                         "CMAPIObject::GetAppFolder : Finish(1)\n"),
              std::string::npos)
        << trace;
}

TEST(SessionE2E, TwoHostsCallingAtOnceDoNotBreakTheSession) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.Admin({"store", "create", "Archive"});
    // Host A starts the agent and works through a session; host B, on a second connection,
    // logs off and on under it. Whatever the interleaving, every call is answered and the agent
    // ends normally.
    std::string scriptA = "MAPILogOn\n";
    std::vector<std::string> argsB = {w.Bin("nxhost").string(), "--no-callback", "--keep-going"};
    for (int i = 0; i < 25; ++i) {
        scriptA += "GetAppFolder x\nSetContactFolder \"\"\nGetContactCount\nGetCalendarCount\nMAPILogOn\n";
        argsB.insert(argsB.end(), {"-e", "MAPILogOff", "-e", "MAPILogOn", "-e", "GetAppFolder x"});
    }
    scriptA += "sleep 300\nShutdown\n";
    nx::e2e::WriteWholeFile(w.Root() / "a.nxh", scriptA);
    const pid_t a = w.Spawn({w.Bin("nxhost").string(), "--start", w.Agent(), "--keep-going", "--script",
                             (w.Root() / "a.nxh").string()},
                            w.Root() / "a.out", w.Root() / "a.err");
    for (int i = 0; i < 500 && !std::filesystem::exists(w.Root() / "pipes/mapiserver64"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const nx::e2e::Result b = w.Run(argsB);
    EXPECT_NE(b.out.find("> GetAppFolder x\n   result = 0"), std::string::npos)
        << "exit " << b.exitCode << "\n"
        << b.out << b.err;
    EXPECT_EQ(w.Wait(a, 120), 0) << ReadWholeFile(w.Root() / "a.out") << ReadWholeFile(w.Root() / "a.err");
    EXPECT_NE(ReadWholeFile(w.Root() / "a.out").find("agent: exit status 0"), std::string::npos)
        << ReadWholeFile(w.Root() / "a.out");
}

// A world where every count and every selection shows in a different number.
void BuildCountingWorld(StoreWorld& w, std::string& archivePeople, std::string& archiveDays) {
    w.Admin({"store", "create", "Archive"});
    const std::string c = kTop + "Contacts";
    for (int i = 0; i < 3; ++i) w.PutItem(c, "IPM.Contact", "c" + std::to_string(i));
    w.PutItem(c, "IPM.DistList", "not a contact");
    w.PutItem(c, "IPM.Contact.Derived", "a derived class is not counted either");
    w.Admin({"folder", "create", c + "/Friends", "--class", "IPF.Contact"});
    w.PutItem(c + "/Friends", "IPM.Contact", "f1");
    w.PutItem(c + "/Friends", "IPM.Contact", "f2");
    w.Admin({"folder", "create", c + "/Misc", "--class", "IPF.Note"});
    w.Admin({"folder", "create", c + "/Misc/Hidden", "--class", "IPF.Contact"});
    w.PutItem(c + "/Misc/Hidden", "IPM.Contact", "below a note folder");
    const std::string cal = kTop + "Calendar";
    w.PutItem(cal, "IPM.Appointment", "a1");
    w.PutItem(cal, "IPM.Appointment", "a2");
    w.Admin({"folder", "create", cal + "/Holidays", "--class", "IPF.Appointment"});
    w.PutItem(cal + "/Holidays", "IPM.Appointment", "a3");
    archivePeople = w.Admin({"folder", "create", kArchive + "People", "--class", "IPF.Contact"});
    for (int i = 0; i < 4; ++i) w.PutItem(kArchive + "People", "IPM.Contact", "p" + std::to_string(i));
    archiveDays = w.Admin({"folder", "create", kArchive + "Days", "--class", "IPF.Appointment"});
    for (int i = 0; i < 6; ++i) w.PutItem(kArchive + "Days", "IPM.Appointment", "d" + std::to_string(i));
}

TEST(SessionE2E, FolderSelectionInTheSecondStoreAndCountsWithTheSubFolderSwitchOffAndOn) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    std::string people, days;
    BuildCountingWorld(w, people, days);
    // {call line, expected result (or "" for none), expected count of the count call after it}
    const struct {
        std::string line;
        const char* result;
        const char* count;
    } steps[] = {
        {"GetContactCount", "0", "0"},  // before logon
        {"GetCalendarCount", "0", "0"},
        {"MAPILogOn", "0", nullptr},
        {"GetContactCount", "0", "3"},
        {"GetCalendarCount", "0", "2"},
        {"SetContactFolder \"  <id>" + people + "</id>\\r\\n\"", "0", nullptr},
        {"GetContactCount", "0", "4"},
        {"SetContactFolder \"<id></id>\"", "0", nullptr},
        {"GetContactCount", "0", "3"},
        {"SetContactFolder \"<id>" + people + "</id>\"", "0", nullptr},
        {"SetContactFolder \"\"", "0", nullptr},
        {"GetContactCount", "0", "3"},
        {"SetContactFolder " + people, "1", nullptr},  // bare hex fails, the folder is kept
        {"GetContactCount", "0", "3"},
        {"SetCalendarFolder \"<id><event>" + days + "</event></id>\"", "0", nullptr},
        {"GetCalendarCount", "0", "6"},
        {"SetCalendarFolder \"no event part\"", "0", nullptr},
        {"GetCalendarCount", "0", "2"},
        {"SetCalendarFolder \"<event><id>" + days + "</id></event>\"", "0", nullptr},
        {"GetCalendarCount", "0", "6"},
        {"SetCalendarFolder \"<event>" + days + "</event>\"", "1", nullptr},
        {"GetCalendarCount", "0", "6"},
        {"MAPILogOff", nullptr, nullptr},
        {"GetContactCount", "0", "0"},
        {"Shutdown", nullptr, nullptr},
    };
    std::vector<std::string> lines;
    for (const auto& s : steps) lines.push_back(s.line);
    const auto calls = w.Session(lines);
    ASSERT_EQ(calls.size(), std::size(steps)) << w.Output();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (steps[i].result) {
            EXPECT_EQ(Out(calls[i], "result"), steps[i].result) << i << ": " << steps[i].line;
        }
        if (steps[i].count) {
            EXPECT_EQ(Out(calls[i], "count"), steps[i].count) << i << ": " << steps[i].line;
        }
    }
    // With the switch on, "IPF.Contact" sub-folders at any depth count too, but not the contacts
    // folder below an "IPF.Note" folder; distribution lists never.
    w.SetSubFolder(true);
    const auto on = w.Session({"MAPILogOn", "GetContactCount", "GetCalendarCount", "MAPILogOff", "Shutdown"});
    ASSERT_GE(on.size(), 3u) << w.Output();
    EXPECT_EQ(Out(on[1], "count"), "5");
    EXPECT_EQ(Out(on[2], "count"), "3");
}

TEST(SessionE2E, ScriptedSessionTraceMatchesTheGoldenTraceLineByLine) {
    NX_REQUIRE_WORLD();
    StoreWorld w;
    w.PutItem(kTop + "Contacts", "IPM.Contact", "Ada");
    const auto calls = w.RunScript(std::string(NX_TEST_DATA_DIR) + "/sessions/first-half.nxh");
    ASSERT_EQ(calls.size(), 9u) << w.Output();
    EXPECT_EQ(calls[5].outs.at("count"), "1");

    nx::e2e::ExpectTraceMatchesGolden(w.TraceLines(), "first-half");
    EXPECT_FALSE(w.Document("Profile.xml").empty());
    EXPECT_FALSE(w.Document("Outlook.xml").empty());
}

}  // namespace
