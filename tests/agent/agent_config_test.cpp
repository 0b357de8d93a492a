#include <gtest/gtest.h>

#include "agent/AgentConfig.h"
#include "agent/AgentProcess.h"
#include "agent/HostCallback.h"
#include "tests/support/Files.h"
#include "tests/support/TempWorld.h"

namespace fs = std::filesystem;
using nx::agent::Config;
using nx::agent::ReadAgentProfileFor;

class AgentConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::remove(m_data);  // the agent makes the folders it needs
        m_exe = (m_dir / "bin" / "NxAgentOutlook64").string();
        fs::create_directories(m_dir / "bin");
    }
    void TearDown() override { nx::agent::MutableConfig() = {}; }
    void Ini(const std::string& text) { nx::test::WriteWholeFile(m_dir / "bin" / "PIMProfile.ini", text); }
    nx::test::TempWorld m_world{"cfg"};
    const fs::path m_dir = m_world.Root();
    const fs::path m_data = m_world.Data();
    std::string m_exe;
};

TEST_F(AgentConfigTest, SubfolderIsOnOnlyForTrueInAnyCase) {
    struct Case {
        const char* ini;  // null: no file
        bool on;
    } cases[] = {
        {"[Outlook]\nsubfolder=TRUE\n", true},    {"[Outlook]\nsubfolder=true\n", true},
        {"[outlook]\nSubFolder = True \n", true}, {"[Outlook]\nsubfolder=\"true\"\n", true},
        {"[Outlook]\nsubfolder=yes\n", false},    {"[Outlook]\nsubfolder=1\n", false},
        {"[Outlook]\nsubfolder=truex\n", false},  {"[Outlook]\nsubfolder=\n", false},
        {"[Other]\nsubfolder=true\n", false},     {nullptr, false},
    };
    for (const auto& c : cases) {
        fs::remove(m_dir / "bin" / "PIMProfile.ini");
        if (c.ini) Ini(c.ini);
        nx::agent::MutableConfig() = {};
        ReadAgentProfileFor(m_exe, "Outlook");
        EXPECT_EQ(Config().subFolder, c.on) << (c.ini ? c.ini : "(no file)");
        EXPECT_EQ(Config().executableFolder, (m_dir / "bin").string() + "/");
    }
}

TEST_F(AgentConfigTest, XmlPathNamesADocumentFolderUnderApplicationData) {
    struct Case {
        const char* value;
        const char* folder;
    } cases[] = {{"Sync", "Sync"}, {"Nx\\Sync", "Nx/Sync"}};
    for (const auto& c : cases) {
        Ini(std::string("[Outlook]\nXMLPath=") + c.value + "\n");
        nx::agent::MutableConfig() = {};
        ReadAgentProfileFor(m_exe, "Outlook");
        EXPECT_EQ(Config().foldersDocumentPath, (m_data / c.folder / "Outlook.xml").string()) << c.value;
        EXPECT_EQ(Config().profilesDocumentPath, (m_data / c.folder / "Profile.xml").string()) << c.value;
        EXPECT_TRUE(fs::is_directory(m_data / c.folder)) << c.value;
    }
}

TEST_F(AgentConfigTest, XmlPathLeavingTheApplicationDataFolderIsRefused) {
    struct Case {
        const char* value;
        const char* folder;  // null: refused
    } cases[] = {
        {"..\\..\\x", nullptr}, {"..", nullptr},         {"Sync\\..\\..\\x", nullptr},
        {"a/../../x", nullptr}, {"..x\\y..", "..x/y.."}, {"\\Sync", "Sync"},
    };
    for (const auto& c : cases) {
        Ini(std::string("[Outlook]\nXMLPath=") + c.value + "\n");
        nx::agent::MutableConfig() = {};
        ReadAgentProfileFor(m_exe, "Outlook");
        const std::string expect = c.folder ? (m_data / c.folder / "Outlook.xml").string() : "";
        EXPECT_EQ(Config().foldersDocumentPath, expect) << c.value;
        EXPECT_FALSE(fs::exists(m_dir / "x")) << c.value;
    }
}

TEST(CallbackTimeouts, EveryCallbackWaitIsBoundedAndOnlyAWholePositiveOverrideReplacesThem) {
    using nx::agent::CallbackTimeoutsFor;
    using nx::agent::kCallbackTimeouts;
    for (const char* kept : {static_cast<const char*>(nullptr), "", "0", "-5", "12ms", "99999999999"}) {
        const auto t = CallbackTimeoutsFor(kept);
        EXPECT_EQ(t.connectMs, kCallbackTimeouts.connectMs) << (kept ? kept : "(unset)");
        EXPECT_EQ(t.bindMs, kCallbackTimeouts.bindMs);
        EXPECT_EQ(t.replyMs, kCallbackTimeouts.replyMs);
    }
    const auto t = CallbackTimeoutsFor("250");
    EXPECT_EQ(t.connectMs, 250);
    EXPECT_EQ(t.bindMs, 250);
    EXPECT_EQ(t.replyMs, 250);
}

TEST_F(AgentConfigTest, NoXmlPathMeansNoDocumentPathsAndNoFolder) {
    for (const char* ini : {"[Outlook]\nXMLPath=\n", "[Outlook]\nsubfolder=true\n", ""}) {
        Ini(ini);
        nx::agent::MutableConfig() = {};
        ReadAgentProfileFor(m_exe, "Outlook");
        EXPECT_EQ(Config().foldersDocumentPath, "") << ini;
        EXPECT_EQ(Config().profilesDocumentPath, "") << ini;
        EXPECT_FALSE(fs::exists(m_data)) << "no folder is created for an unset XMLPath: " << ini;
    }
    // The path query failing leaves everything untouched but the executable folder.
    nx::agent::MutableConfig().subFolder = true;
    ReadAgentProfileFor("", "Outlook");
    EXPECT_EQ(Config().executableFolder, "");
    EXPECT_TRUE(Config().subFolder);
}

TEST_F(AgentConfigTest, UnusableApplicationDataGivesEmptyPathsAndTheTempWorkFolder) {
    nx::test::WriteWholeFile(m_dir / "blocker", "x");
    m_world.SetEnv("XDG_DATA_HOME", (m_dir / "blocker/data").string())
        .SetEnv("TMPDIR", (m_dir / "tmp").string());
    fs::create_directories(m_dir / "tmp");
    Ini("[Outlook]\nXMLPath=Sync\n");
    ReadAgentProfileFor(m_exe, "Outlook");
    EXPECT_EQ(Config().foldersDocumentPath, "");
    EXPECT_EQ(Config().profilesDocumentPath, "");
    nx::agent::CreateWorkFolder();
    EXPECT_EQ(Config().workFolder, (m_dir / "tmp/Outlook").string());
    EXPECT_TRUE(fs::is_directory(m_dir / "tmp/Outlook"));

    m_world.SetEnv("XDG_DATA_HOME", m_data.string());
    nx::agent::CreateWorkFolder();
    EXPECT_EQ(Config().workFolder, (m_data / "Outlook").string());
    EXPECT_TRUE(fs::is_directory(m_data / "Outlook"));
    EXPECT_EQ(nx::agent::GetXmlFolder(""), m_data.string());
}

TEST(AgentExitCode, RpcStatusesBecomeEightBitExitCodes) {
    struct Case {
        uint32_t status;
        int code;
    } cases[] = {
        {1740, 204},                                       // RPC_S_DUPLICATE_ENDPOINT
        {1722, 186},                                       // RPC_S_SERVER_UNAVAILABLE
        {5, 5},          {87, 87},          {0x100, 255},  // low byte 0 would read as success
        {0x101, 255},  // low byte 1 would read as an initialisation failure
        {0x1C010003, 3}, {0xFFFFFFFF, 255},
    };
    for (const auto& c : cases) EXPECT_EQ(nx::agent::ExitCodeForRpcStatus(c.status), c.code) << c.status;
}
