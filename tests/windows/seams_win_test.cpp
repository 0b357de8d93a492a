// The Windows side of the system and registry seams, against the real system (or Wine): paths
// and folder creation, atomic replacement, the locked append, profile strings, the registry and
// module lookups by name and by ordinal.
#include "platform/registry/Registry.h"
#include "platform/system/Files.h"
#include "platform/system/LockedFile.h"
#include "platform/system/Module.h"
#include "platform/system/Paths.h"
#include "platform/system/ProfileString.h"
// After the seam headers: windows.h defines ERROR_SUCCESS and REG_SZ as macros.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/Win.h"

namespace {

namespace fs = std::filesystem;

std::string FileName(const std::string& path) {
    return nx::sys::win::Narrow(fs::path(nx::sys::win::Wide(path)).filename().wstring());
}

class WinSeams : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir =
            nx::sys::JoinPath(nx::sys::TempFolder(), "nx-seams-" + std::to_string(::GetCurrentProcessId()));
        fs::remove_all(fs::path(nx::sys::win::Wide(m_dir)));
        ASSERT_EQ(nx::sys::CreateDirectoryWithParents(m_dir), nx::sys::kErrorSuccess);
    }
    void TearDown() override { fs::remove_all(fs::path(nx::sys::win::Wide(m_dir))); }
    std::string Path(const char* name) const { return nx::sys::JoinPath(m_dir, name); }
    std::string Read(const std::string& path) const {
        std::string bytes;
        EXPECT_TRUE(nx::sys::ReadFileBytes(path, 1 << 20, bytes)) << path;
        return bytes;
    }

    std::string m_dir;
};

TEST(WinPaths, JoinAndSplitTakeEitherSeparator) {
    const struct {
        const char* dir;
        const char* name;
        const char* joined;
    } joins[] = {
        {"C:\\a", "b", "C:\\a\\b"},
        {"C:\\a\\\\", "\\b", "C:\\a\\b"},
        {"C:/a/", "/b.xml", "C:/a\\b.xml"},
        {"", "b", "b"},
    };
    for (const auto& j : joins) EXPECT_EQ(nx::sys::JoinPath(j.dir, j.name), j.joined) << j.dir;
    EXPECT_EQ(nx::sys::FolderWithSeparator("C:\\a/b\\c.exe"), "C:\\a/b\\");
    EXPECT_EQ(nx::sys::FolderWithSeparator("C:/a/b"), "C:/a/");
    EXPECT_EQ(nx::sys::FolderWithSeparator("c.exe"), "");
}

TEST(WinPaths, ModulesAndFoldersComeFromTheSystem) {
    const std::string exe = nx::sys::ExecutablePath();
    ASSERT_GE(exe.size(), 3u);
    EXPECT_EQ(FileName(exe), "windows_seams.exe");
    EXPECT_EQ(nx::sys::ModuleFileName("windows_seams.exe"), exe);
    EXPECT_EQ(nx::sys::ModuleFileName("NoSuchModule.dll"), exe) << "a module not loaded: the executable";
    const std::string kernel = nx::sys::ModuleFileName("kernel32.dll");
    EXPECT_EQ(_stricmp(FileName(kernel).c_str(), "kernel32.dll"), 0) << kernel;
    const std::string appData = nx::sys::RoamingAppDataFolder();
    ASSERT_FALSE(appData.empty());
    EXPECT_TRUE(fs::is_directory(fs::path(nx::sys::win::Wide(appData)))) << appData;
    EXPECT_NE(appData.back(), '\\');
    EXPECT_NE(nx::sys::TempFolder().back(), '\\');
}

TEST_F(WinSeams, FolderCreationGivesTheShellCodes) {
    const std::string deep = Path("x\\y/z");
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents(deep), nx::sys::kErrorSuccess);
    EXPECT_TRUE(fs::is_directory(fs::path(nx::sys::win::Wide(deep))));
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents(deep), nx::sys::kErrorAlreadyExists);
    ASSERT_TRUE(nx::sys::WriteFileAtomically(Path("file"), "f"));
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents(Path("file")), nx::sys::kErrorFileExists);
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents("relative\\folder"), nx::sys::kErrorBadPathname);
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents(""), nx::sys::kErrorBadPathname);
}

TEST_F(WinSeams, ReplacementIsWholeAndLeavesNothingBehind) {
    const std::string doc = Path("Outlook.xml");
    ASSERT_TRUE(nx::sys::WriteFileAtomically(doc, "first, the longer text"));
    ASSERT_TRUE(nx::sys::WriteFileAtomically(doc, "second", nx::sys::FileDurability::ReplacedOnly));
    EXPECT_EQ(Read(doc), "second");
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(fs::path(nx::sys::win::Wide(m_dir))))
        names.push_back(nx::sys::win::Narrow(entry.path().filename().wstring()));
    EXPECT_EQ(names, std::vector<std::string>{"Outlook.xml"});
    EXPECT_FALSE(nx::sys::WriteFileAtomically(Path("missing\\doc.xml"), "x")) << "no folder";
    EXPECT_FALSE(nx::sys::WriteFileAtomically(m_dir + "\\", "x"));

    std::string capped;
    ASSERT_TRUE(nx::sys::ReadFileBytes(doc, 3, capped));
    EXPECT_EQ(capped, "seco") << "one byte past the limit shows the file is over it";
    EXPECT_FALSE(nx::sys::ReadFileBytes(m_dir, 10, capped)) << "a folder is not a file";
}

TEST_F(WinSeams, LockedAppendWritesTheHeaderOnceAcrossThreads) {
    const std::string log = Path("trace.log");
    constexpr int kThreads = 4, kLines = 25;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kLines; ++i)
                EXPECT_TRUE(nx::sys::AppendToLockedFile(log, "line\n", "HEADER\n"));
        });
    for (std::thread& t : threads) t.join();
    const std::string text = Read(log);
    EXPECT_EQ(text.rfind("HEADER\n", 0), 0u);
    EXPECT_EQ(text.find("HEADER", 1), std::string::npos);
    EXPECT_EQ(text.size(), 7u + 5u * kThreads * kLines);

    const nx::sys::UniqueFd fd(nx::sys::OpenPrivateForAppend(log));
    ASSERT_TRUE(fd);
    EXPECT_TRUE(nx::sys::WriteAllTo(fd.get(), "tail"));
}

TEST_F(WinSeams, ProfileStringsAreTheSystemsReading) {
    const std::string ini = Path("PIMProfile.ini");
    ASSERT_TRUE(nx::sys::WriteFileAtomically(
        ini, "[Outlook]\r\nSubFolder = 1\r\nQuoted=\"a b\"\r\nLong=" + std::string(300, 'x') + "\r\n"));
    const struct {
        const char* section;
        const char* key;
        std::string expected;
    } cases[] = {
        {"outlook", "SUBFOLDER", "1"},
        {"Outlook", "Quoted", "a b"},
        {"Outlook", "Long", std::string(259, 'x')},  // cut to the 260-unit buffer
        {"Outlook", "Missing", "dflt"},
        {"Other", "SubFolder", "dflt"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            nx::sys::GetPrivateProfileString(c.section, c.key, "dflt", nx::sys::kProfileBufferUnits, ini),
            c.expected)
            << c.key;
    EXPECT_EQ(nx::sys::GetPrivateProfileString("Outlook", "SubFolder", "dflt", 260, Path("none.ini")),
              "dflt");
}

TEST(WinRegistry, ValuesComeBackAsTheRegistryStoresThem) {
    const std::wstring subKey = L"Software\\NxAgentTests\\Seams" + std::to_wstring(::GetCurrentProcessId());
    HKEY key = nullptr;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                nullptr),
              0);
    const wchar_t text[] = L"h\u00e9llo";
    const DWORD number = 7;
    ::RegSetValueExW(key, L"Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text);
    ::RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    ::RegCloseKey(key);

    nx::reg::RegKey reg;
    ASSERT_EQ(nx::reg::RegKey::Open(nx::reg::Hive::CurrentUser, nx::sys::win::Narrow(subKey), reg), 0);
    nx::reg::Value value;
    ASSERT_EQ(reg.QueryValue("Text", value), 0);
    EXPECT_EQ(value.type, static_cast<uint32_t>(REG_SZ));
    EXPECT_EQ(value.data, (std::vector<uint8_t>{'h', 0, 0xE9, 0, 'l', 0, 'l', 0, 'o', 0, 0, 0}));
    uint32_t type = 0, size = 4;
    char small[4];
    EXPECT_EQ(reg.QueryValue("Text", &type, small, size), ERROR_MORE_DATA);
    EXPECT_EQ(size, 12u);
    DWORD read = 0;
    size = sizeof read;
    EXPECT_EQ(reg.QueryValue("number", &type, &read, size), 0) << "value names ignore case";
    EXPECT_EQ(type, static_cast<uint32_t>(REG_DWORD));
    EXPECT_EQ(read, 7u);
    EXPECT_EQ(reg.QueryValue("Missing", value), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(nx::reg::RegKey::Open(nx::reg::Hive::CurrentUser, "Software\\NxAgentTests\\None", reg),
              ERROR_FILE_NOT_FOUND);
    ::RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\NxAgentTests");
}

// The ordinal of an export, read from the module's own export directory.
DWORD ExportOrdinal(HMODULE module, const char* name) {
    const auto* base = reinterpret_cast<const BYTE*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    const auto* indexes = reinterpret_cast<const WORD*>(base + exports->AddressOfNameOrdinals);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        if (std::strcmp(reinterpret_cast<const char*>(base + names[i]), name) == 0)
            return exports->Base + indexes[i];
    return 0;
}

TEST(WinModule, SymbolsByNameAndByOrdinal) {
    nx::sys::LoadedModule kernel = nx::sys::LoadedModule::Open("kernel32.dll");
    ASSERT_TRUE(kernel);
    void* byName = kernel.Symbol("GetTickCount");
    ASSERT_NE(byName, nullptr);
    const DWORD ordinal = ExportOrdinal(::GetModuleHandleW(L"kernel32.dll"), "GetTickCount");
    ASSERT_NE(ordinal, 0u);
    EXPECT_EQ(kernel.Symbol(("#" + std::to_string(ordinal)).c_str()), byName);
    for (const char* bad : {"#", "#0", "#12x", "#70000", "NoSuchExport"})
        EXPECT_EQ(kernel.Symbol(bad), nullptr) << bad;
    EXPECT_FALSE(nx::sys::LoadedModule::Open("NoSuchLibrary.dll"));
    kernel.Close();
    EXPECT_EQ(kernel.Symbol("GetTickCount"), nullptr);
}

}  // namespace
