#include "platform/registry/Registry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/system/DebugOutput.h"
#include "tests/platform/system/ScratchDir.h"

using nx::reg::RegFile;
using nx::reg::RegKey;
using nx::reg::Value;

namespace {

constexpr const char* kHeader = "Windows Registry Editor Version 5.00\r\n\r\n";

std::vector<uint8_t> Utf16Z(std::u16string_view s) {
    std::vector<uint8_t> out;
    for (char16_t c : s) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::string Utf16LeFile(std::u16string_view text) {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
    }
    return out;
}

}  // namespace

TEST(RegFile, ReadsEveryValueFormTheEditorWrites) {
    const std::string file = std::string(kHeader) +
                             "[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\r\n"
                             "\"/opt/a/NxAgentOutlook64\"=dword:00000006\r\n"
                             "\"Short\"=dword:1f\r\n"
                             "\"Text\"=\"a \\\"q\\\" C:\\\\dir\\\\x \\n\"\r\n"
                             "@=\"default\"\r\n"
                             "\"Blob\"=hex:01,02,ff\r\n"
                             "\"Big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
                             "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
                             "\"Long\"=hex:01,02,\\\r\n"
                             "  03,04,\\\r\n"
                             "  05\r\n"
                             "\"Empty\"=hex:\r\n"
                             "\"Utf8\"=\"Gr\xC3\xBC\xC3\x9F\xC3\xA9 \xF0\x9F\x98\x80\"\r\n";
    const RegFile reg = RegFile::Parse(file);
    EXPECT_EQ(reg.Error(), "");
    const std::string key = "HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles";
    struct Case {
        const char* name;
        Value expected;
    } cases[] = {
        {"/opt/a/NxAgentOutlook64", {nx::reg::REG_DWORD, {6, 0, 0, 0}}},
        {"Short", {nx::reg::REG_DWORD, {0x1f, 0, 0, 0}}},
        {"Text", {nx::reg::REG_SZ, Utf16Z(u"a \"q\" C:\\dir\\x \\n")}},
        {"", {nx::reg::REG_SZ, Utf16Z(u"default")}},
        {"Blob", {nx::reg::REG_BINARY, {1, 2, 0xff}}},
        {"Big", {nx::reg::REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80}}},
        {"Multi", {nx::reg::REG_MULTI_SZ, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}}},
        {"Long", {nx::reg::REG_BINARY, {1, 2, 3, 4, 5}}},
        {"Empty", {nx::reg::REG_BINARY, {}}},
        {"Utf8", {nx::reg::REG_SZ, Utf16Z(u"Gr\u00FC\u00DF\u00E9 \U0001F600")}},
    };
    for (const auto& c : cases) {
        const Value* v = reg.Find(key, c.name);
        ASSERT_NE(v, nullptr) << c.name;
        EXPECT_EQ(*v, c.expected) << c.name;
    }
}

TEST(RegFile, KeysAndValueNamesCompareWithoutCaseAndRootsHaveTwoSpellings) {
    const RegFile reg = RegFile::Parse(std::string(kHeader) +
                                       "[HKCU\\Software\\VARNELLE\\\\LogFiles\\]\n\"Name\"=dword:2\n"
                                       "[HKEY_LOCAL_MACHINE\\Deep\\Below\\Here]\n"
                                       "[HKLM\\Deep Old]\n[HKLM\\Deep2]\n");
    struct Case {
        const char* key;
        const char* value;
        bool found;
    } cases[] = {
        {"HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles", "name", true},
        {"hkey_current_user\\software\\varnelle\\logfiles", "NAME", true},
        {"HKCU\\SoftWare\\Varnelle\\LogFiles\\", "Name", true},
        {"HKEY_CURRENT_USER\\SoftWare\\Varnelle", "Name", false},
        {"HKEY_LOCAL_MACHINE\\SoftWare\\Varnelle\\LogFiles", "Name", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(reg.Find(c.key, c.value) != nullptr, c.found) << c.key << " " << c.value;

    // A key exists when it or a key below it has a section.
    EXPECT_TRUE(reg.KeyExists("HKLM\\Deep"));
    EXPECT_TRUE(reg.KeyExists("HKLM\\deep\\below\\here"));
    EXPECT_FALSE(reg.KeyExists("HKLM\\Dee"));
    EXPECT_FALSE(reg.KeyExists("HKLM\\Deep\\Below\\Here\\More"));
    EXPECT_FALSE(reg.KeyExists("NotARoot\\Deep"));
}

TEST(RegFile, DeletionsRemoveWhatEarlierLinesSet) {
    const RegFile reg = RegFile::Parse(std::string(kHeader) +
                                       "[HKCU\\A]\n\"x\"=dword:1\n\"y\"=dword:2\n"
                                       "[HKCU\\A\\B]\n\"z\"=dword:3\n"
                                       "[HKCU\\A]\n\"x\"=-\n"
                                       "[-HKCU\\A\\B]\n");
    EXPECT_EQ(reg.Error(), "");
    EXPECT_EQ(reg.Find("HKCU\\A", "x"), nullptr);
    EXPECT_NE(reg.Find("HKCU\\A", "y"), nullptr);
    EXPECT_FALSE(reg.KeyExists("HKCU\\A\\B"));
}

TEST(RegFile, ReadsUtf16FilesAndBothHeaders) {
    const std::u16string text =
        u"Windows Registry Editor Version "
        u"5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n\"\u00E9\"=dword:00000004\r\n";
    const RegFile wide = RegFile::Parse(Utf16LeFile(text));
    EXPECT_EQ(wide.Error(), "");
    ASSERT_NE(wide.Find("HKCU\\K", "\xC3\xA9"), nullptr);

    const RegFile old = RegFile::Parse("\xEF\xBB\xBFREGEDIT4\n[HKCU\\K]\n\"v\"=dword:4\n");
    EXPECT_NE(old.Find("HKCU\\K", "v"), nullptr);
}

TEST(RegFile, MalformedLinesAreSkippedAndTheFirstProblemIsKept) {
    struct Case {
        const char* body;
        const char* error;      // start of Error()
        const char* goodValue;  // a later value that must still be read, or null
    } cases[] = {
        {"[HKCU\\K]\n\"a\"=dword:123456789\n\"ok\"=dword:1\n", "line 4: dword", "ok"},
        {"[HKCU\\K]\n\"a\"=dword:xyz\n\"ok\"=dword:1\n", "line 4: dword", "ok"},
        {"[HKCU\\K]\n\"a\"=hex:1,2,345\n\"ok\"=dword:1\n", "line 4: hex data", "ok"},
        {"[HKCU\\K]\n\"a\"=hex(zz):01\n\"ok\"=dword:1\n", "line 4: hex(type)", "ok"},
        {"[HKCU\\K]\n\"a=dword:1\n\"ok\"=dword:1\n", "line 4: value name", "ok"},
        {"[HKCU\\K]\n\"a\"=\"open\n\"ok\"=dword:1\n", "line 4: string value", "ok"},
        {"[HKCU\\K]\n\"a\" dword:1\n\"ok\"=dword:1\n", "line 4: value without", "ok"},
        {"[HKCU\\K]\njunk\n\"ok\"=dword:1\n", "line 4: line is neither", "ok"},
        {"[HKCU\\K\n\"a\"=dword:1\n", "line 3: section without", nullptr},
        {"[Nowhere\\K]\n\"a\"=dword:1\n", "line 3: section with an unknown root", nullptr},
    };
    for (const auto& c : cases) {
        const RegFile reg = RegFile::Parse(std::string(kHeader) + c.body);
        EXPECT_EQ(reg.Error().rfind(c.error, 0), 0u) << c.body << " -> " << reg.Error();
        if (c.goodValue) {
            EXPECT_NE(reg.Find("HKCU\\K", c.goodValue), nullptr) << c.body;
        }
    }
    const RegFile noHeader = RegFile::Parse("[HKCU\\K]\n\"a\"=dword:1\n");
    EXPECT_EQ(noHeader.Find("HKCU\\K", "a"), nullptr);
    EXPECT_NE(noHeader.Error(), "");
    EXPECT_NE(RegFile::Parse("").Error(), "");
}

// The hive files are in the world's XDG_CONFIG_HOME.
class RegKeyTest : public nx::test::ScratchDir {
protected:
    void Write(const char* hive, const std::string& content) {
        nx::test::WriteWholeFile(m_registry / hive, content);
    }
    const std::filesystem::path m_registry = m_world.Root() / "config/nx-registry";
};

TEST_F(RegKeyTest, OpensKeysOfTheHiveFileAndQueriesWithWindowsResults) {
    EXPECT_EQ(nx::reg::HiveFilePath(nx::reg::Hive::CurrentUser),
              (m_registry / "HKEY_CURRENT_USER.reg").string());
    RegKey key;
    EXPECT_EQ(RegKey::Open(nx::reg::Hive::CurrentUser, "SoftWare\\Varnelle\\LogFiles", key),
              nx::reg::ERROR_FILE_NOT_FOUND);

    Write("HKEY_CURRENT_USER.reg", std::string(kHeader) +
                                       "[HKEY_CURRENT_USER\\SoftWare\\Varnelle\\LogFiles]\n"
                                       "\"v\"=dword:00000002\n\"q\"=hex(b):01,02,03,04,05,06,07,08\n");
    Write("HKEY_LOCAL_MACHINE.reg", std::string(kHeader) + "[HKEY_LOCAL_MACHINE\\Only\\Here]\n");
    EXPECT_EQ(RegKey::Open(nx::reg::Hive::CurrentUser, "Only\\Here", key), nx::reg::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegKey::Open(nx::reg::Hive::LocalMachine, "only\\here", key), nx::reg::ERROR_SUCCESS);
    ASSERT_EQ(RegKey::Open(nx::reg::Hive::CurrentUser, "software\\varnelle\\logfiles", key),
              nx::reg::ERROR_SUCCESS);

    uint32_t dword = 0;
    uint32_t size = sizeof dword;
    uint32_t type = 0;
    EXPECT_EQ(key.QueryValue("V", &type, &dword, size), nx::reg::ERROR_SUCCESS);
    EXPECT_EQ(dword, 2u);
    EXPECT_EQ(type, nx::reg::REG_DWORD);
    size = sizeof dword;
    EXPECT_EQ(key.QueryValue("q", &type, &dword, size), nx::reg::ERROR_MORE_DATA);
    EXPECT_EQ(size, 8u);
    EXPECT_EQ(dword, 2u) << "nothing copied on ERROR_MORE_DATA";
    size = sizeof dword;
    EXPECT_EQ(key.QueryValue("absent", nullptr, &dword, size), nx::reg::ERROR_FILE_NOT_FOUND);
}

TEST_F(RegKeyTest, AFileThatCannotBeReadFullySaysWhyOnTheDebugOutput) {
    std::string said;
    nx::sys::SetDebugOutputSinkForTesting([&](std::string_view t) { said += std::string(t); });
    const std::string body = std::string(kHeader) + "[HKEY_CURRENT_USER\\K]\n\"v\"=dword:00000001\n";
    std::string bigEndian = "\xFE\xFF";
    for (char c : body) bigEndian += std::string{'\0', c};
    struct Case {
        std::string bytes;
        long open;         // RegKey::Open's result for HKCU\K
        const char* says;  // null: nothing
    } cases[] = {
        {body, nx::reg::ERROR_SUCCESS, nullptr},
        {bigEndian, nx::reg::ERROR_SUCCESS, nullptr},
        {bigEndian.substr(2), nx::reg::ERROR_SUCCESS, "UTF-16BE without a byte-order mark"},
        {body + std::string(16u << 20, ';'), nx::reg::ERROR_FILE_NOT_FOUND, "larger than 16 MiB"},
        {body + "junk\n", nx::reg::ERROR_SUCCESS, "line 5: line is neither"},
    };
    for (const auto& c : cases) {
        said.clear();
        Write("HKEY_CURRENT_USER.reg", c.bytes);
        RegKey key;
        EXPECT_EQ(RegKey::Open(nx::reg::Hive::CurrentUser, "K", key), c.open) << said;
        if (c.says) {
            EXPECT_NE(said.find("HKEY_CURRENT_USER.reg: "), std::string::npos) << said;
            EXPECT_NE(said.find(c.says), std::string::npos) << said;
        } else {
            EXPECT_EQ(said, "");
        }
    }
    nx::sys::SetDebugOutputSinkForTesting(nullptr);
}
