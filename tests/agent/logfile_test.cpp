#include "common/LogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/DebugOutput.h"
#include "platform/system/Utf.h"
#include "tests/support/Files.h"
#include "tests/support/TempWorld.h"

namespace fs = std::filesystem;

namespace {

std::string Utf16Le(std::string_view utf8) {
    std::string out;
    for (char16_t u : nx::sys::Utf8ToUtf16(utf8)) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>(u >> 8);
    }
    return out;
}

const std::string kBom = "\xFF\xFE";

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_module = (m_dir / "bin.d" / "NxAgentOutlook64").string();
        m_log = m_module + ".log";
        fs::create_directories(m_dir / "bin.d");
        nx::sys::SetDebugOutputSinkForTesting([this](std::string_view t) { m_debug += t; });
    }
    void TearDown() override {
        nx::sys::SetDebugOutputSinkForTesting(nullptr);
        const uint32_t off = 0;
        CLogFile::InitWithModulePath("", off);
    }
    // The per-user registry with the switch for `valueName` (no file when `registry` is null).
    void Registry(const char* body) {
        nx::test::WriteWholeFile(m_dir / "config/nx-registry/HKEY_CURRENT_USER.reg",
                                 std::string("Windows Registry Editor Version 5.00\r\n\r\n") + body);
    }
    void SwitchFor(const std::string& module, uint32_t value) {
        char line[64];
        snprintf(line, sizeof line, "\"=dword:%08x\r\n", value);
        Registry(("[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n\"" + module + line).c_str());
    }
    void Init() {
        const uint32_t defaultSwitch = LOG_TO_DEBUGGER;
        CLogFile::InitWithModulePath(m_module, defaultSwitch);
    }

    nx::test::TempWorld m_world{"log"};
    const fs::path m_dir = m_world.Root();
    std::string m_module;
    std::string m_log;
    std::string m_debug;
};

TEST_F(LogFileTest, TheRegistrySwitchDecidesTheSinks) {
    const std::string line1 = "[NxAgentForOutlook64] CMAPIObject::MAPILogOff : Begin\r\n";
    const std::string line2 = "[NxAgentForOutlook64] GetProps(0X80004005) \xC3\xA9 -3\n";
    struct Case {
        const char* what;
        int registryValue;  // -1: key absent, -2: value absent, -3: no registry file
        bool file;
        bool debugger;
        const char* initText;
    } cases[] = {
        {"switch 0", 0, false, false, ""},
        {"switch 2", 2, true, false, ""},
        {"switch 4", 4, false, true, ""},
        {"switch 6", 6, true, true, ""},
        {"other bits only", 0x100, false, false, ""},
        {"key absent", -1, false, true, "CLogFile::Init - Failed to Open Register Key\r\n"},
        {"value absent", -2, false, true, "CLogFile::Init - Failed to Query Register Value\r\n"},
        {"no registry file", -3, false, true, "CLogFile::Init - Failed to Open Register Key\r\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(m_log);
        fs::remove(m_dir / "config/nx-registry/HKEY_CURRENT_USER.reg");
        if (c.registryValue >= 0) SwitchFor(m_module, static_cast<uint32_t>(c.registryValue));
        if (c.registryValue == -1) Registry("[HKEY_CURRENT_USER\\SoftWare\\Varnelle]\r\n");
        if (c.registryValue == -2) SwitchFor(m_module + ".other", 6);
        m_debug.clear();
        Init();
        EXPECT_EQ(m_debug, c.initText);
        m_debug.clear();
        CLogFile::Trace("CMAPIObject::MAPILogOff : Begin\r\n");
        CLogFile::Trace("GetProps(0X%08X) %s %d\n", 0x80004005u, "\xC3\xA9", -3);
        EXPECT_EQ(fs::exists(m_log), c.file);
        if (c.file) {
            EXPECT_EQ(nx::test::ReadWholeFile(m_log), kBom + Utf16Le(line1) + Utf16Le(line2));
        }
        EXPECT_EQ(m_debug, c.debugger ? line1 + line2 : "");
    }
}

TEST_F(LogFileTest, AppendsAcrossRunsWithOneByteOrderMark) {
    SwitchFor(m_module, LOG_TO_FILE);
    Init();
    CLogFile::Trace("run 1\r\n");
    CLogFile::Trace("%s", "");  // the tag alone still makes a line
    CLogFile::WriteLine("");    // a direct empty line writes nothing
    Init();                     // a second run of the agent
    CLogFile::Trace("run 2\r\n");
    EXPECT_EQ(nx::test::ReadWholeFile(m_log),
              kBom + Utf16Le("[NxAgentForOutlook64] run 1\r\n[NxAgentForOutlook64] ") +
                  Utf16Le("[NxAgentForOutlook64] run 2\r\n"));

    // An existing non-empty file is appended to as it is: no mark is added in the middle.
    nx::test::WriteWholeFile(m_log, "ab");
    CLogFile::Trace("x");
    EXPECT_EQ(nx::test::ReadWholeFile(m_log), "ab" + Utf16Le("[NxAgentForOutlook64] x"));
    // An emptied file gets its mark again.
    nx::test::WriteWholeFile(m_log, "");
    CLogFile::Trace("y");
    EXPECT_EQ(nx::test::ReadWholeFile(m_log), kBom + Utf16Le("[NxAgentForOutlook64] y"));

    // The trace is private: a file left readable by others is narrowed, a link is not followed.
    std::filesystem::permissions(m_log, std::filesystem::perms(0644));
    CLogFile::Trace("z");
    EXPECT_EQ(std::filesystem::status(m_log).permissions(), std::filesystem::perms(0600));
    const std::string elsewhere = m_log + ".other";
    nx::test::WriteWholeFile(elsewhere, "other");
    std::filesystem::remove(m_log);
    std::filesystem::create_symlink(elsewhere, m_log);
    CLogFile::Trace("w");
    EXPECT_EQ(nx::test::ReadWholeFile(elsewhere), "other");
}

TEST_F(LogFileTest, TheLogFileIsTheModulePathWithItsExtensionReplaced) {
    struct Case {
        std::string module;
        std::string log;
    } cases[] = {
        {(m_dir / "bin.d/NxAgentOutlook64").string(), (m_dir / "bin.d/NxAgentOutlook64.log").string()},
        {(m_dir / "bin.d/NxAgentOutlook64.exe").string(), (m_dir / "bin.d/NxAgentOutlook64.log").string()},
        {(m_dir / "bin.d/a.b.c").string(), (m_dir / "bin.d/a.b.log").string()},
    };
    for (const auto& c : cases) {
        SwitchFor(c.module, LOG_TO_FILE);
        const uint32_t def = LOG_TO_DEBUGGER;
        CLogFile::InitWithModulePath(c.module, def);
        EXPECT_EQ(CLogFile::LogFilePath(), c.log);
        EXPECT_EQ(CLogFile::Switch(), LOG_TO_FILE);
    }
    // The value name is the whole path: the same executable elsewhere keeps the default.
    SwitchFor(m_module, LOG_TO_FILE);
    const uint32_t def = LOG_TO_DEBUGGER;
    CLogFile::InitWithModulePath(m_module + "2", def);
    EXPECT_EQ(CLogFile::Switch(), LOG_TO_DEBUGGER);
    EXPECT_EQ(CLogFile::LogFilePath(), "");
}

TEST_F(LogFileTest, ConcurrentLinesNeverInterleave) {
    SwitchFor(m_module, LOG_TO_FILE);
    Init();
    constexpr int kThreads = 8;
    constexpr int kLines = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) CLogFile::Trace("thread %d line %03d \xE2\x82\xAC\r\n", t, i);
        });
    for (auto& th : threads) th.join();

    const std::string bytes = nx::test::ReadWholeFile(m_log);
    ASSERT_EQ(bytes.substr(0, 2), kBom);
    std::u16string text;
    for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)
        text += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                      (static_cast<unsigned char>(bytes[i + 1]) << 8));
    std::set<std::string> seen;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const auto end = text.find(u"\r\n", pos);
        ASSERT_NE(end, std::u16string::npos);
        const std::string line = nx::sys::Utf16ToUtf8(text.substr(pos, end - pos));
        int t = -1;
        int i = -1;
        ASSERT_EQ(sscanf(line.c_str(), "[NxAgentForOutlook64] thread %d line %d", &t, &i), 2) << line;
        EXPECT_EQ(line, "[NxAgentForOutlook64] thread " + std::to_string(t) + " line " +
                            (i < 10    ? "00"
                             : i < 100 ? "0"
                                       : "") +
                            std::to_string(i) + " \xE2\x82\xAC");
        seen.insert(line);
        pos = end + 2;
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

}  // namespace
