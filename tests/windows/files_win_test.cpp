// The Windows side of the agent's own files and folders, against the real system (or Wine): what
// interrupted replacements left goes with the next replacement of the same document and nothing
// else does, and the agent's own folders are private and never a link.
#include "platform/system/Files.h"
#include "platform/system/Paths.h"
// After the seam headers: windows.h defines ERROR_SUCCESS as a macro.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

// clang-format off
// Win.h (windows.h) before the security header, which needs its types.
#include "platform/system/Win.h"
#include <aclapi.h>
// clang-format on

namespace {

namespace fs = std::filesystem;
using nx::sys::win::UniqueHandle;
using nx::sys::win::Wide;

// A fresh folder of the test's own: a process lists a folder for leftovers at its first
// replacement there, so each test plants them in a folder nothing has written to yet.
class WinFiles : public ::testing::Test {
protected:
    void SetUp() override {
        static int n = 0;
        m_dir =
            nx::sys::JoinPath(nx::sys::TempFolder(), "nx-files-" + std::to_string(::GetCurrentProcessId()) +
                                                         "-" + std::to_string(n++));
        fs::remove_all(fs::path(Wide(m_dir)));
        ASSERT_EQ(nx::sys::CreateDirectoryWithParents(m_dir), nx::sys::kErrorSuccess);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(fs::path(Wide(m_dir)), ignored);
    }
    std::string Path(const std::string& name) const { return nx::sys::JoinPath(m_dir, name); }
    static bool Exists(const std::string& path) {
        return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    static void Make(const std::string& path) {
        UniqueHandle(::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_HIDDEN, nullptr));
    }
    std::string m_dir;
};

TEST_F(WinFiles, TheNextReplacementOfADocumentRemovesWhatInterruptedOnesOfItLeftAndNothingElse) {
    UniqueHandle held;
    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        bool removed;
    } cases[] = {
        {".doc.xml.Ab12Cd", &Make, true},
        {".doc.xml.Folder", [](const std::string& p) { ::CreateDirectoryW(Wide(p).c_str(), nullptr); },
         false},
        {".doc.xml.Inuse1",  // a live replacement: its file is open, unshared, until it is moved
         [&](const std::string& p) {
             held.reset(::CreateFileW(Wide(p).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
             ASSERT_TRUE(held);
         },
         false},
        {".doc.xml.Ab12C", &Make, false},
        {".doc.xml.Ab1-Cd", &Make, false},
        {"doc.xml.Ab12Cd", &Make, false},
        {".other.xml.Ab12Cd", &Make, false},
    };
    for (const Case& c : cases) c.make(Path(c.name));
    ASSERT_TRUE(nx::sys::WriteFileAtomically(Path("doc.xml"), "<doc/>"));
    for (const Case& c : cases) EXPECT_EQ(Exists(Path(c.name)), !c.removed) << c.name;
    held.reset();
    ASSERT_TRUE(nx::sys::WriteFileAtomically(Path("other.xml"), "<other/>"));
    EXPECT_FALSE(Exists(Path(".other.xml.Ab12Cd")));
    // A replacement's own temporary file follows the same pattern, and is gone once it is done.
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(fs::path(Wide(m_dir)))) ++entries;
    // Two leftovers gone, two documents made.
    EXPECT_EQ(entries, std::size(cases)) << "the kept entries, doc.xml and other.xml";
}

// The access list of a folder: protected (nothing inherited from above) with one entry, and that
// entry's grantee and mask.
struct FolderAccess {
    bool isProtected = false;
    DWORD entries = 0;
    bool userOnly = false;
};

FolderAccess AccessOf(const std::string& folder) {
    FolderAccess access;
    PACL list = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    std::wstring path = Wide(folder);
    if (::GetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &list, nullptr, &descriptor) != ERROR_SUCCESS)
        return access;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(descriptor, &control, &revision);
    access.isProtected = (control & SE_DACL_PROTECTED) != 0;
    access.entries = list ? list->AceCount : 0;
    HANDLE token = nullptr;
    void* ace = nullptr;
    if (access.entries == 1 && ::GetAce(list, 0, &ace) &&
        ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const UniqueHandle held(token);
        std::vector<BYTE> user(256);
        DWORD size = 0;
        if (::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size)) {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            access.userOnly = allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                              ::EqualSid(const_cast<DWORD*>(&allowed->SidStart),
                                         reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid);
        }
    }
    ::LocalFree(descriptor);
    return access;
}

// Whether the system keeps an access list set on a folder: Wine (8.0) answers success and goes on
// showing the list it derives from the Unix mode.
bool KeepsAccessLists(const std::string& folder) {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const UniqueHandle held(token);
    std::vector<BYTE> user(256);
    DWORD size = 0;
    if (!::GetTokenInformation(token, TokenUser, user.data(), static_cast<DWORD>(user.size()), &size))
        return false;
    const PSID sid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    std::vector<BYTE> list(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid));
    const auto acl = reinterpret_cast<PACL>(list.data());
    ::InitializeAcl(acl, static_cast<DWORD>(list.size()), ACL_REVISION);
    ::AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid);
    std::wstring path = Wide(folder);
    ::SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                            acl, nullptr);
    return AccessOf(folder).entries == 1;
}

TEST_F(WinFiles, TheAgentsOwnFolderIsPrivateAndNeverALinkOrAFile) {
    using nx::sys::OwnFolder;
    // Missing, with a missing parent: made. A folder already there: used. A file: refused.
    EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, "Nx\\Sync"), OwnFolder::Ready);
    EXPECT_TRUE(Exists(Path("Nx\\Sync")));
    ASSERT_TRUE(::CreateDirectoryW(Wide(Path("Outlook")).c_str(), nullptr));
    EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, "Outlook"), OwnFolder::Ready);
    UniqueHandle(
        ::CreateFileW(Wide(Path("File")).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, "File"), OwnFolder::NotAFolder);
    // The base itself is the user's folder, taken as it is.
    EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, ""), OwnFolder::Ready);
    EXPECT_FALSE(AccessOf(m_dir).isProtected);

    // Private: the user alone, nothing inherited from above, where the system keeps access lists.
    ASSERT_TRUE(::CreateDirectoryW(Wide(Path("probe")).c_str(), nullptr));
    if (KeepsAccessLists(Path("probe"))) {
        for (const char* folder : {"Nx\\Sync", "Outlook"}) {
            const FolderAccess access = AccessOf(Path(folder));
            EXPECT_TRUE(access.isProtected) << folder;
            EXPECT_EQ(access.entries, 1u) << folder;
            EXPECT_TRUE(access.userOnly) << folder;
        }
    } else {
        std::printf("this system does not keep the access lists set on folders: not checked\n");
    }

    // A link to another folder, where this user may make one and the system shows it as one
    // (Wine 8.0 makes a Unix link and shows the folder it leads to).
    ASSERT_TRUE(::CreateDirectoryW(Wide(Path("elsewhere")).c_str(), nullptr));
    const bool linked =
        ::CreateSymbolicLinkW(Wide(Path("Linked")).c_str(), Wide(Path("elsewhere")).c_str(),
                              SYMBOLIC_LINK_FLAG_DIRECTORY | SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(Wide(Path("Linked")).c_str());
    if (linked && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, "Linked"), OwnFolder::Link);
        EXPECT_EQ(nx::sys::MakeOwnFolder(m_dir, "Linked\\Sync"), OwnFolder::Link);
        EXPECT_FALSE(Exists(Path("elsewhere\\Sync"))) << "nothing is made through a link";
    } else {
        std::printf("this system shows no link as a link to this user: not checked\n");
    }
}

}  // namespace
