// Private, atomic file writing and the text-file encodings of the configuration readers.
#include "platform/system/Files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system/Paths.h"
#include "platform/system/Utf.h"
#include "tests/platform/system/ScratchDir.h"

namespace fs = std::filesystem;

namespace {

using nx::test::ReadWholeFile;

void Touch(const fs::path& p) {
    std::ofstream made(p);
}

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

// Contact pictures: a private file of ours is written over in place (same file, cut to length);
// whatever else is at the path is replaced, never written through, and the other file keeps its
// bytes.
TEST_F(FilesTest, WriteForReaderRewritesOurFileInPlaceAndReplacesAnythingElse) {
    const fs::path victim = m_dir / "victim.jpg";
    std::ofstream(victim) << "someone else's";
    const auto ours = [](const fs::path& t, const fs::path&) {
        std::ofstream(t) << "an older picture, longer than the new one";
        fs::permissions(t, fs::perms(0600));
    };
    struct Case {
        const char* name;
        void (*prepare)(const fs::path& target, const fs::path& victim);
        bool inPlace;
    } cases[] = {
        {"new file", [](const fs::path&, const fs::path&) {}, false},
        {"our older picture", ours, true},
        {"our file readable by others",
         [](const fs::path& t, const fs::path&) {
             std::ofstream(t) << "old";
             fs::permissions(t, fs::perms(0644));
         },
         false},
        {"symbolic link to another file",
         [](const fs::path& t, const fs::path& v) { fs::create_symlink(v, t); }, false},
        {"hard link to another file",
         [](const fs::path& t, const fs::path& v) { fs::create_hard_link(v, t); }, false},
        {"FIFO", [](const fs::path& t, const fs::path&) { ASSERT_EQ(::mkfifo(t.c_str(), 0600), 0); }, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path target = m_dir / "PIC0.jpg";
        fs::remove(target);
        c.prepare(target, victim);
        struct stat before {};
        const bool existed = ::lstat(target.c_str(), &before) == 0;
        ASSERT_TRUE(nx::sys::WriteFileForReader(target.string(), "new"));
        struct stat after {};
        ASSERT_EQ(::lstat(target.c_str(), &after), 0);
        EXPECT_TRUE(S_ISREG(after.st_mode));
        EXPECT_EQ(ReadWholeFile(target), "new");
        EXPECT_EQ(ModeOf(target), 0600u);
        EXPECT_EQ(ReadWholeFile(victim), "someone else's");
        EXPECT_EQ(existed && after.st_ino == before.st_ino, c.inPlace);
    }
    EXPECT_FALSE(nx::sys::WriteFileForReader((m_dir / "missing/PIC0.jpg").string(), "x"));
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

TEST_F(FilesTest, TheNextWriteOfADocumentRemovesWhatInterruptedWritesOfItLeftAndNothingElse) {
    // Planted before this process's first write in the folder, as a killed agent leaves them.
    const bool root = ::geteuid() == 0;
    const fs::path outside = m_dir / "outside";
    fs::create_directory(outside);
    std::ofstream(outside / "target") << "not ours to remove";
    nx::sys::UniqueFd lock;
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> make;
        bool removed;
    } cases[] = {
        {".doc.xml.Ab12Cd", [](const fs::path& p) { std::ofstream(p) << "half a document"; }, true},
        {".doc.xml.000000", &Touch, true},
        {".doc.xml.LinkEd", [&](const fs::path& p) { fs::create_symlink(outside / "target", p); }, false},
        {".doc.xml.Folder", [](const fs::path& p) { fs::create_directory(p); }, false},
        {".doc.xml.Locked",  // a live write of another process: its file is locked until renamed
         [&](const fs::path& p) {
             std::ofstream(p) << "being written";
             lock.reset(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
             ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
         },
         false},
        {".doc.xml.Ab12C", &Touch, false},
        {".doc.xml.Ab1-Cd", &Touch, false},
        {".doc.xml.Ab12Cd.bak", &Touch, false},
        {"doc.xml.Ab12Cd", &Touch, false},
        {".other.xml.Ab12Cd", &Touch, false},
        {".xml.Ab12Cd", &Touch, false},
        {".doc.xml.Others",
         [&](const fs::path& p) {
             Touch(p);
             if (root) {
                 ASSERT_EQ(::chown(p.c_str(), 65534, 65534), 0);
             }
         },
         !root},
    };
    for (const Case& c : cases) c.make(m_dir / c.name);
    ASSERT_TRUE(nx::sys::WriteFileAtomically((m_dir / "doc.xml").string(), "<doc/>"));
    for (const Case& c : cases)
        EXPECT_EQ(fs::symlink_status(m_dir / c.name).type() == fs::file_type::not_found, c.removed) << c.name;
    EXPECT_EQ(ReadWholeFile(outside / "target"), "not ours to remove");
    EXPECT_EQ(ReadWholeFile(m_dir / "doc.xml"), "<doc/>");

    // The other document's leftover goes with that document's next write.
    ASSERT_TRUE(nx::sys::WriteFileAtomically((m_dir / "other.xml").string(), "<other/>"));
    EXPECT_FALSE(fs::exists(m_dir / ".other.xml.Ab12Cd"));
}

TEST_F(FilesTest, AWriteKilledHalfWayLeavesItsTemporaryFileUntilTheNextWriteOfTheDocument) {
    const fs::path doc = m_dir / "doc.xml";
    const std::string big(64 << 20, 'x');
    auto leftovers = [&] {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(m_dir))
            if (e.path().filename().string().rfind(".doc.xml.", 0) == 0) names.push_back(e.path().filename());
        return names;
    };
    // A writer that replaces the document over and over is killed while a temporary file of it
    // exists (tried again in the rare case the kill came just after a rename).
    for (int attempt = 0; attempt < 20 && leftovers().empty(); ++attempt) {
        const pid_t writer = ::fork();
        ASSERT_GE(writer, 0);
        if (writer == 0) {
            for (;;) nx::sys::WriteFileAtomically(doc.string(), big, nx::sys::FileDurability::ReplacedOnly);
        }
        while (leftovers().empty()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        ::kill(writer, SIGKILL);
        ASSERT_EQ(::waitpid(writer, nullptr, 0), writer);
    }
    ASSERT_EQ(leftovers().size(), 1u);
    ASSERT_TRUE(nx::sys::WriteFileAtomically(doc.string(), "<doc/>"));
    EXPECT_TRUE(leftovers().empty());
    EXPECT_EQ(ReadWholeFile(doc), "<doc/>");
}

TEST_F(FilesTest, TheAgentsOwnFolderIsMadePrivateAndNeverALinkAFileOrAnotherUsersFolder) {
    using nx::sys::OwnFolder;
    const bool root = ::geteuid() == 0;
    const fs::path elsewhere = m_dir / "elsewhere";
    fs::create_directory(elsewhere);
    fs::permissions(elsewhere, fs::perms(0755));
    struct Case {
        const char* name;
        const char* relative;
        std::function<void(const fs::path& base)> make;
        OwnFolder expect;
        unsigned mode;  // of the folder afterwards (0: none to look at)
        bool needsRoot;
    } cases[] = {
        {"missing, with a missing parent", "Nx/Sync", [](const fs::path&) {}, OwnFolder::Ready, 0700, false},
        {"ours, open to all", "Outlook",
         [](const fs::path& b) {
             fs::create_directory(b / "Outlook"), fs::permissions(b / "Outlook", fs::perms(0777));
         },
         OwnFolder::Ready, 0700, false},
        {"ours, readable by others", "Outlook",
         [](const fs::path& b) {
             fs::create_directory(b / "Outlook"), fs::permissions(b / "Outlook", fs::perms(0755));
         },
         OwnFolder::Ready, 0700, false},
        {"a link to another folder", "Outlook",
         [&](const fs::path& b) { fs::create_directory_symlink(elsewhere, b / "Outlook"); }, OwnFolder::Link,
         0, false},
        {"a link above it", "Nx/Sync",
         [&](const fs::path& b) { fs::create_directory_symlink(elsewhere, b / "Nx"); }, OwnFolder::Link, 0,
         false},
        {"a dangling link", "Outlook",
         [](const fs::path& b) { fs::create_symlink("/nonexistent/x", b / "Outlook"); }, OwnFolder::Link, 0,
         false},
        {"a file", "Outlook", [](const fs::path& b) { std::ofstream(b / "Outlook") << "x"; },
         OwnFolder::NotAFolder, 0, false},
        {"another user's", "Outlook",
         [](const fs::path& b) {
             fs::create_directory(b / "Outlook");
             fs::permissions(b / "Outlook", fs::perms(0777));
             ASSERT_EQ(::chown((b / "Outlook").c_str(), 65534, 65534), 0);
         },
         OwnFolder::OthersFolder, 0777, true},
        {"the base itself", "", [](const fs::path&) {}, OwnFolder::Ready, 0, false},
    };
    int n = 0;
    for (const Case& c : cases) {
        if (c.needsRoot && !root) continue;
        const fs::path base = m_dir / ("base" + std::to_string(n++));
        fs::create_directory(base);
        fs::permissions(base, fs::perms(0777));  // the base is the user's: taken as it is
        c.make(base);
        EXPECT_EQ(nx::sys::MakeOwnFolder(base.string(), c.relative), c.expect) << c.name;
        if (c.mode != 0) {
            EXPECT_EQ(ModeOf(base / c.relative), c.mode) << c.name;
        }
        EXPECT_EQ(ModeOf(base), 0777u) << c.name;
    }
    EXPECT_TRUE(fs::is_empty(elsewhere)) << "nothing is made through a link";
    EXPECT_EQ(ModeOf(elsewhere), 0755u);
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
