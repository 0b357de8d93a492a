// Private, crash-safe file writing on Windows. Descriptors are the C runtime's (_wopen), so the
// seam keeps its shape; a replacement is a new file in the same folder moved over the old one
// with MoveFileExW (MOVEFILE_REPLACE_EXISTING, and MOVEFILE_WRITE_THROUGH when flushed); the
// temporary file is open unshared while it is written, which keeps the clean-up of leftovers
// (AtomicTemps.h) away from a live write.
//
// Privacy: Windows has no umask. Files and folders the agent creates inherit the access list of
// the folder they are made in; the agent writes only below the user's profile (application data,
// the temporary folder) or its own folder, whose inherited lists already keep other users out.
// clang-format off
// Win.h (windows.h) before the security header, which needs its types.
#include "platform/system/Win.h"
#include <aclapi.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/system/AtomicTemps.h"
#include "platform/system/Files.h"
#include "platform/system/Paths.h"

namespace nx::sys {

bool WriteAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const unsigned chunk = static_cast<unsigned>(std::min<std::size_t>(bytes.size(), 1u << 30));
        const int n = ::_write(fd, bytes.data(), chunk);
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::_close(m_fd);
    m_fd = fd;
}

bool WriteFileForReader(const std::string& path, std::string_view bytes) {
    return WriteFileAtomically(path, bytes, FileDurability::ReplacedOnly);
}

namespace {

// The SIDs a file of this process's user has as its owner: the token's user, and the owner it
// gives new objects (an elevated administrator's files belong to the Administrators group).
bool OwnedByThisUser(HANDLE object) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(object, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                          nullptr, &descriptor) != ERROR_SUCCESS)
        return false;
    const struct Freed {
        PSECURITY_DESCRIPTOR d;
        ~Freed() { ::LocalFree(d); }
    } freed{descriptor};
    HANDLE token = nullptr;
    if (owner == nullptr || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const win::UniqueHandle held(token);
    for (TOKEN_INFORMATION_CLASS kind : {TokenUser, TokenOwner}) {
        DWORD size = 0;
        ::GetTokenInformation(token, kind, nullptr, 0, &size);
        std::vector<BYTE> buffer(size);
        if (size == 0 || !::GetTokenInformation(token, kind, buffer.data(), size, &size)) continue;
        const PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                                           : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
        if (sid != nullptr && ::EqualSid(sid, owner)) return true;
    }
    return false;
}

// The SID of this process's user (the token's), as bytes; empty when it cannot be read.
std::vector<BYTE> ThisUser() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
    const win::UniqueHandle held(token);
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
    const PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + ::GetLengthSid(sid));
}

// Gives a folder of ours the access list of a private one, unless it has it already: the user
// alone, inherited by what is made inside, nothing inherited from above (0700's counterpart).
void NarrowToUser(HANDLE folder) {
    std::vector<BYTE> user = ThisUser();
    if (user.empty()) return;
    const PSID sid = user.data();
    constexpr DWORD kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    PACL current = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (::GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                          nullptr, &descriptor) == ERROR_SUCCESS) {
        const struct Freed {
            PSECURITY_DESCRIPTOR d;
            ~Freed() { ::LocalFree(d); }
        } freed{descriptor};
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        void* ace = nullptr;
        if (current != nullptr && current->AceCount == 1 &&
            ::GetSecurityDescriptorControl(descriptor, &control, &revision) &&
            (control & SE_DACL_PROTECTED) && ::GetAce(current, 0, &ace)) {
            const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
            if (allowed->Header.AceType == ACCESS_ALLOWED_ACE_TYPE && allowed->Header.AceFlags == kInherit &&
                allowed->Mask == FILE_ALL_ACCESS && ::EqualSid(const_cast<DWORD*>(&allowed->SidStart), sid))
                return;
        }
    }
    const DWORD size = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + ::GetLengthSid(sid);
    std::vector<BYTE> list(size);
    const auto acl = reinterpret_cast<PACL>(list.data());
    if (!::InitializeAcl(acl, size, ACL_REVISION) ||
        !::AddAccessAllowedAceEx(acl, ACL_REVISION, kInherit, FILE_ALL_ACCESS, sid))
        return;
    ::SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                      nullptr, nullptr, acl, nullptr);
}

// Removes a temporary file that an interrupted write left, once it has shown to be one: opened as
// itself (a link is not followed) and unshared, which a live writer's file refuses (it is open
// unshared until its move); a regular file of this user; deleted through the handle judged.
void RemoveLeftover(const std::string& path) {
    const win::UniqueHandle file(::CreateFileW(win::Wide(path).c_str(),
                                               DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES, 0, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK ||
        !::GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
        !OwnedByThisUser(file.get()))
        return;
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    ::SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof disposition);
}

// Six letters or digits, different at every call of the process (AtomicTemps.h); CREATE_NEW
// makes a clash with another process's name fail one attempt, never share a file.
std::wstring TemporaryTail() {
    static std::atomic<uint64_t> counter{0};
    uint64_t x =
        (uint64_t{::GetCurrentProcessId()} << 32) ^ ::GetTickCount64() ^ (++counter * 0x9E3779B97F4A7C15ull);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    std::wstring tail;
    for (std::size_t i = 0; i < kTemporaryTailLength; ++i, x /= 62) tail.push_back(kDigits[x % 62]);
    return tail;
}

}  // namespace

FileStream OpenFileStream(const std::string& path, const char* mode) {
    return FileStream(::_wfopen(win::Wide(path).c_str(), win::Wide(mode).c_str()));
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, FileDurability durability) {
    const bool flush = durability == FileDurability::Flushed;
    if (path.empty() || path.back() == '\\' || path.back() == '/') return false;
    const std::string folder = FolderWithSeparator(path);
    const std::string name = path.substr(folder.size());
    for (const std::string& leftover : TakeLeftoverTemporaries(folder, name)) RemoveLeftover(leftover);
    const std::wstring target = win::Wide(path);
    std::wstring temp;
    bool written = false;
    {
        // CREATE_NEW never opens an existing file: a name another write took costs an attempt.
        win::UniqueHandle file;
        for (int attempt = 0; attempt < 8 && !file; ++attempt) {
            temp = win::Wide(folder) + L"." + win::Wide(name) + L"." + TemporaryTail();
            file.reset(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr));
            if (!file && ::GetLastError() != ERROR_FILE_EXISTS) return false;
        }
        if (!file) return false;
        written = true;
        std::string_view rest = bytes;
        while (written && !rest.empty()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 1u << 30));
            DWORD n = 0;
            written = ::WriteFile(file.get(), rest.data(), chunk, &n, nullptr) && n > 0;
            rest.remove_prefix(n);
        }
        if (written && flush) written = ::FlushFileBuffers(file.get()) != 0;
    }
    // The final file is not hidden: the attribute only marks an interrupted write's leftover.
    if (written) ::SetFileAttributesW(temp.c_str(), FILE_ATTRIBUTE_NORMAL);
    const DWORD moveFlags = MOVEFILE_REPLACE_EXISTING | (flush ? MOVEFILE_WRITE_THROUGH : 0);
    if (!written || !::MoveFileExW(temp.c_str(), target.c_str(), moveFlags)) {
        ::DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}

OwnFolder MakeOwnFolder(const std::string& base, std::string_view relative) {
    std::wstring path = win::Wide(base);
    bool below = false;
    std::size_t start = 0;
    while (start < relative.size()) {
        const std::size_t end = std::min(relative.find_first_of("\\/", start), relative.size());
        const std::string_view name = relative.substr(start, end - start);
        start = end + 1;
        if (name.empty() || name == ".") continue;
        below = true;
        path += L'\\';
        path += win::Wide(name);
        if (!::CreateDirectoryW(path.c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return OwnFolder::Unusable;
        // Checked step by step, so a link anywhere below the base is refused before anything is
        // made through it.
        const DWORD attributes = ::GetFileAttributesW(path.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) return OwnFolder::Unusable;
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return OwnFolder::Link;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return OwnFolder::NotAFolder;
    }
    if (!below) return OwnFolder::Ready;
    const win::UniqueHandle folder(
        ::CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!folder || !::GetFileInformationByHandle(folder.get(), &info)) return OwnFolder::Unusable;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return OwnFolder::Link;
    if (!OwnedByThisUser(folder.get())) return OwnFolder::OthersFolder;
    NarrowToUser(folder.get());
    return OwnFolder::Ready;
}

int OpenPrivateForAppend(const std::string& path, bool /*nonBlocking*/) {
    // A named pipe or file opened for appending never waits for a reader on Windows.
    return ::_wopen(win::Wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT,
                    _S_IREAD | _S_IWRITE);
}

ReadFileResult ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    const std::wstring wide = win::Wide(path);
    const win::UniqueHandle file(::CreateFileW(wide.c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return ReadFileResult::Missing;
        // A folder cannot be opened as a file: it is in the way, not unreadable.
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return ReadFileResult::NotAFile;
        return ReadFileResult::Unreadable;
    }
    // Judged on the open handle: a pipe or a device in the file's place is never read.
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) return ReadFileResult::NotAFile;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return ReadFileResult::Unreadable;
    if (static_cast<uint64_t>(size.QuadPart) > maxBytes) return ReadFileResult::TooLarge;
    bytes.reserve(static_cast<std::size_t>(size.QuadPart));
    char chunk[65536];
    for (;;) {
        DWORD n = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr)) {
            bytes.clear();
            return ReadFileResult::Unreadable;
        }
        if (n == 0) return ReadFileResult::Read;
        // The file may grow while it is read: the cap holds for what is read, not only the size.
        if (n > maxBytes - bytes.size()) {
            bytes.clear();
            return ReadFileResult::TooLarge;
        }
        bytes.append(chunk, n);
    }
}

void MakeCreatedFilesPrivate() {
    // Nothing to narrow: created files inherit their folder's access list (see the top).
}

uint64_t RaiseOpenFileLimit() {
    // Handles are not limited per process the way descriptors are; only the C runtime's stream
    // table is, and the agent opens few streams. Raised to the runtime's maximum anyway.
    ::_setmaxstdio(8192);
    return OpenFileLimit();
}

uint64_t OpenFileLimit() {
    return static_cast<uint64_t>(::_getmaxstdio());
}

uint64_t OpenDescriptorCount() {
    DWORD count = 0;
    return ::GetProcessHandleCount(::GetCurrentProcess(), &count) ? count : 0;
}

void CreatePrivateFileIfMissing(const std::string& path) {
    // CREATE_NEW never opens what is there; the file inherits its folder's access list.
    const win::UniqueHandle file(::CreateFileW(win::Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                               FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool IdentifyFile(const std::string& path, FileIdentity& out) {
    if (path.empty()) return false;
    // No access asked for: the identity is readable even while another process holds the file.
    const win::UniqueHandle file(::CreateFileW(win::Wide(path).c_str(), 0,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file || !::GetFileInformationByHandle(file.get(), &info)) return false;
    out = FileIdentity{info.dwVolumeSerialNumber, (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return true;
}

uint64_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

bool IsTerminal(int fd) {
    return ::_isatty(fd) != 0;
}

void KeepRunningOnClosedPipes() {
    // A write to a closed pipe fails with ERROR_NO_DATA; no signal to ignore.
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileW(win::Wide(path).c_str()) != 0;
}

}  // namespace nx::sys
