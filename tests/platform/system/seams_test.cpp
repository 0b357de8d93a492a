// The system seams the portable layers go through: the locked append-only file, the loaded
// module, the ASCII helpers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/system/Ascii.h"
#include "platform/system/LockedFile.h"
#include "platform/system/Module.h"
#include "tests/platform/system/ScratchDir.h"

using LockedFile = nx::test::ScratchDir;
using nx::test::ReadWholeFile;

TEST_F(LockedFile, HeaderOnceThenAppendsPrivately) {
    const auto file = m_dir / "trace.log";
    ASSERT_TRUE(nx::sys::AppendToLockedFile(file.string(), "a", "<H>"));
    ASSERT_TRUE(nx::sys::AppendToLockedFile(file.string(), "bc", "<H>"));
    EXPECT_EQ(ReadWholeFile(file), "<H>abc");
    struct stat st {};
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "a new log is private to the user";
    EXPECT_FALSE(nx::sys::AppendToLockedFile((m_dir / "missing" / "x.log").string(), "a", ""));
}

TEST_F(LockedFile, ConcurrentAppendsStayWhole) {
    const std::string path = (m_dir / "trace.log").string();
    constexpr int kThreads = 4;
    constexpr int kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&path, t] {
            const std::string line(64, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i) nx::sys::AppendToLockedFile(path, line + "\n", "#\n");
        });
    for (std::thread& t : threads) t.join();
    const std::string text = ReadWholeFile(path);
    ASSERT_EQ(text.size(), 2 + kThreads * kLines * 65u);
    EXPECT_EQ(text.substr(0, 2), "#\n") << "the header only once, first";
    for (std::size_t at = 2; at < text.size(); at += 65)
        EXPECT_EQ(text.substr(at, 65), std::string(64, text[at]) + "\n") << at;
}

TEST(LoadedModule, OpensBindsAndCloses) {
    nx::sys::LoadedModule missing = nx::sys::LoadedModule::Open("/nonexistent/libnothing.so");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.Symbol("anything"), nullptr);

    nx::sys::LoadedModule libc = nx::sys::LoadedModule::Open("libc.so.6");
    ASSERT_TRUE(libc);
    EXPECT_NE(libc.Symbol("strlen"), nullptr);
    EXPECT_EQ(libc.Symbol("no_such_symbol_here"), nullptr);
    nx::sys::LoadedModule moved = std::move(libc);
    EXPECT_FALSE(libc);  // NOLINT(bugprone-use-after-move): the moved-from module is empty
    EXPECT_TRUE(moved);
    moved.Close();
    EXPECT_FALSE(moved);
}

TEST(Ascii, TrimAndCompareIgnoreOnlyAscii) {
    const struct {
        std::string_view text;
        std::string_view blanks;
        std::string_view trimmed;
    } trims[] = {
        {"  a b \t", " \t", "a b"}, {"\r\nx\r\n", " ", "\r\nx\r\n"}, {"   ", " ", ""}, {"", " ", ""},
        {"\v x \f", " \v\f", "x"},
    };
    for (const auto& c : trims) EXPECT_EQ(nx::sys::TrimAscii(c.text, c.blanks), c.trimmed) << c.text;
    EXPECT_TRUE(nx::sys::EqualsIgnoreAsciiCase("Outlook", "OUTLOOK"));
    EXPECT_FALSE(nx::sys::EqualsIgnoreAsciiCase("Outlook", "Outloo"));
    EXPECT_FALSE(nx::sys::EqualsIgnoreAsciiCase("\xC3\xA4", "\xC3\x84")) << "no folding beyond ASCII";
}
