#include "platform/system/Paths.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "tests/platform/system/ScratchDir.h"
#include "tests/support/ScopedEnv.h"

namespace fs = std::filesystem;
using namespace nx::sys;
using PathsTest = nx::test::ScratchDir;

TEST_F(PathsTest, CreateDirectoryWithParentsGivesTheWindowsResults) {
    std::ofstream(m_dir / "file") << "x";
    struct Case {
        std::string path;
        uint32_t expected;
    } cases[] = {
        {(m_dir / "a/b/c").string(), kErrorSuccess},
        {(m_dir / "a/b/c").string(), kErrorAlreadyExists},
        {(m_dir / "a/b/c/").string(), kErrorAlreadyExists},
        {(m_dir / "a").string(), kErrorAlreadyExists},
        {(m_dir / "file").string(), kErrorFileExists},
        {(m_dir / "file/below").string(), kErrorPathNotFound},
        {"", kErrorBadPathname},
        {"relative/path", kErrorBadPathname},
        {"/" + std::string(5000, 'n'), kErrorFilenameExcedRange},
    };
    for (const auto& c : cases) EXPECT_EQ(CreateDirectoryWithParents(c.path), c.expected) << c.path;
    EXPECT_TRUE(fs::is_directory(m_dir / "a/b/c"));

    if (::geteuid() != 0) {  // root ignores permissions
        fs::create_directories(m_dir / "locked");
        fs::permissions(m_dir / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        EXPECT_EQ(CreateDirectoryWithParents((m_dir / "locked/x").string()), kErrorAccessDenied);
    }
}

TEST_F(PathsTest, RoamingAppDataComesFromXdgAndIsCreated) {
    const std::string data = (m_dir / "data/deep").string();
    nx::test::ScopedEnv env("XDG_DATA_HOME", data);
    EXPECT_EQ(RoamingAppDataFolder(), data);
    EXPECT_TRUE(fs::is_directory(data));

    env.Set("XDG_DATA_HOME", "relative");  // not absolute: ignored, HOME is used
    const std::string home = (m_dir / "home").string();
    env.Set("HOME", home);
    EXPECT_EQ(RoamingAppDataFolder(), home + "/.local/share");

    std::ofstream(m_dir / "blocker") << "x";
    const std::string blocked = (m_dir / "blocker/data").string();
    env.Set("XDG_DATA_HOME", blocked);
    EXPECT_EQ(RoamingAppDataFolder(), "");

    env.Set("TMPDIR", m_dir.string() + "/");
    EXPECT_EQ(TempFolder(), m_dir.string());
    env.Set("TMPDIR", "rel");
    EXPECT_EQ(TempFolder(), "/tmp");
}

TEST(Paths, ModuleAndFolderPaths) {
    const std::string exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(fs::equivalent(exe, "/proc/self/exe"));
    // No module of that name is loaded: the process executable, as on Windows.
    EXPECT_EQ(ModuleFileName("NxAgentOutlook64.exe"), exe);
    EXPECT_EQ(ModuleFileName("NoSuchLibrary.dll"), exe);
    // A loaded shared object is found by its "lib<name>.so" file name.
    EXPECT_NE(ModuleFileName("c.dll").find("libc.so"), std::string::npos);

    struct Case {
        const char* dir;
        const char* name;
        const char* joined;
    } joins[] = {{"/a", "b", "/a/b"}, {"/a/", "b", "/a/b"}, {"/a//", "/b", "/a/b"}, {"", "b", "b"}};
    for (const auto& c : joins) EXPECT_EQ(JoinPath(c.dir, c.name), c.joined);
    EXPECT_EQ(FolderWithSeparator("/a/b/c"), "/a/b/");
    EXPECT_EQ(FolderWithSeparator("/c"), "/");
    EXPECT_EQ(FolderWithSeparator("c"), "");
}
