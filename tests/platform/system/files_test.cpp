// Private, atomic file writing and the text-file encodings of the configuration readers.
#include "platform/system/Files.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/system/Paths.h"
#include "platform/system/Utf.h"
#include "tests/platform/system/ScratchDir.h"

namespace fs = std::filesystem;

namespace {

using nx::test::ReadWholeFile;

unsigned ModeOf(const fs::path& p) {
    struct stat st {};
    EXPECT_EQ(::lstat(p.c_str(), &st), 0) << p;
    return st.st_mode & 07777;
}

// A scratch folder, and umask 000 while the test runs: every mode below must come from the
// code, not from the umask.
class FilesTest : public nx::test::ScratchDir {
protected:
    void SetUp() override {
        ScratchDir::SetUp();
        m_oldMask = ::umask(0);
    }
    void TearDown() override {
        ::umask(m_oldMask);
        ScratchDir::TearDown();
    }
    mode_t m_oldMask = 0;
};

TEST_F(FilesTest, AtomicWriteReplacesTheFileOrLinkAndLeavesNoTemporaryFile) {
    const fs::path victim = m_dir / "victim.txt";
    std::ofstream(victim) << "someone else's";
    struct Case {
        const char* name;
        void (*prepare)(const fs::path& target, const fs::path& victim);
    } cases[] = {
        {"new file", [](const fs::path&, const fs::path&) {}},
        {"old file",
         [](const fs::path& t, const fs::path&) { std::ofstream(t) << "old text, longer than new"; }},
        {"link to another file", [](const fs::path& t, const fs::path& v) { fs::create_symlink(v, t); }},
        {"dangling link",
         [](const fs::path& t, const fs::path&) { fs::create_symlink("/nonexistent/x", t); }},
    };
    // Flushed or only replaced (contact pictures), the file is replaced the same way.
    for (const auto durability : {nx::sys::FileDurability::Flushed, nx::sys::FileDurability::ReplacedOnly})
        for (const auto& c : cases) {
            const fs::path target = m_dir / "doc.xml";
            fs::remove(target);
            c.prepare(target, victim);
            ASSERT_TRUE(nx::sys::WriteFileAtomically(target.string(), "<new/>", durability)) << c.name;
            EXPECT_FALSE(fs::is_symlink(target)) << c.name;
            EXPECT_EQ(ReadWholeFile(target), "<new/>") << c.name;
            EXPECT_EQ(ModeOf(target), 0600u) << c.name;
            EXPECT_EQ(ReadWholeFile(victim), "someone else's") << c.name;
            std::size_t entries = 0;
            for ([[maybe_unused]] const auto& e : fs::directory_iterator(m_dir)) ++entries;
            EXPECT_EQ(entries, 2u) << c.name << ": only the document and the victim";
        }
    // A folder that does not exist: nothing is written, and the call says so.
    EXPECT_FALSE(nx::sys::WriteFileAtomically((m_dir / "missing/doc.xml").string(), "x"));
    EXPECT_FALSE(nx::sys::WriteFileAtomically("", "x"));
}

TEST_F(FilesTest, FoldersAndAppendedFilesArePrivateAndLinksAreNotFollowed) {
    const fs::path deep = m_dir / "a/b/c";
    EXPECT_EQ(nx::sys::CreateDirectoryWithParents(deep.string()), nx::sys::kErrorSuccess);
    for (const fs::path& p : {m_dir / "a", m_dir / "a/b", deep}) EXPECT_EQ(ModeOf(p), 0700u) << p;

    const fs::path log = m_dir / "trace.log";
    nx::sys::UniqueFd fd(nx::sys::OpenPrivateForAppend(log.string()));
    ASSERT_TRUE(fd);
    EXPECT_EQ(ModeOf(log), 0600u);

    // A file of ours left readable by others is narrowed; a link in the file's place is refused.
    const fs::path wide = m_dir / "wide.log";
    std::ofstream(wide) << "x";
    fs::permissions(wide, fs::perms(0666));
    nx::sys::UniqueFd wideFd(nx::sys::OpenPrivateForAppend(wide.string()));
    ASSERT_TRUE(wideFd);
    EXPECT_EQ(ModeOf(wide), 0600u);
    fs::create_symlink(wide, m_dir / "link.log");
    EXPECT_EQ(nx::sys::OpenPrivateForAppend((m_dir / "link.log").string()), -1);
}

TEST(Files, RaisingTheDescriptorLimitReachesTheHardLimit) {
    struct rlimit saved {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max < 512) GTEST_SKIP() << "hard descriptor limit too low to lower the soft one";
    struct rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    EXPECT_EQ(nx::sys::OpenFileLimit(), 256u);
    const uint64_t raised = nx::sys::RaiseOpenFileLimit();
    EXPECT_EQ(raised, saved.rlim_max == RLIM_INFINITY ? UINT64_MAX : saved.rlim_max);
    EXPECT_EQ(nx::sys::OpenFileLimit(), raised);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
}

TEST(TextFile, ReadsEveryUnicodeFormAWindowsToolWritesAndSaysWhatItGuessed) {
    using namespace std::string_literals;
    struct Case {
        std::string bytes;
        std::string text;
        std::string note;  // a fragment of the note, "" for none
    } cases[] = {
        {"[A]\r\nk=v", "[A]\r\nk=v", ""},
        {"\xEF\xBB\xBF[A]", "[A]", ""},
        {"\xFF\xFE[\0A\0]\0"s, "[A]", ""},
        {"\xFE\xFF\0[\0A\0]"s, "[A]", ""},
        {"[\0A\0]\0"s, "[A]", "UTF-16LE without a byte-order mark"},
        {"\0[\0A\0]"s, "[A]", "UTF-16BE without a byte-order mark"},
        {"\xFF\xFE[\0A\0]"s, "[A", "odd number of bytes"},
        {"\xFF\xFE\xE9\0"s, "\xC3\xA9", ""},
        {"[A\0\0\0]"s, "[A\0\0\0]"s, "contains zero bytes"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string note = "stale";
        EXPECT_EQ(nx::sys::TextFileToUtf8(c.bytes, &note), c.text);
        if (c.note.empty()) {
            EXPECT_EQ(note, "");
        } else {
            EXPECT_NE(note.find(c.note), std::string::npos) << note;
        }
    }
}

}  // namespace
