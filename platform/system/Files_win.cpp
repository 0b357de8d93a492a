// Private, crash-safe file writing on Windows. Descriptors are the C runtime's (_wopen), so the
// seam keeps its shape; a replacement is a new file in the same folder moved over the old one
// with MoveFileExW (MOVEFILE_REPLACE_EXISTING, and MOVEFILE_WRITE_THROUGH when flushed).
//
// Privacy: Windows has no umask. Files and folders the agent creates inherit the access list of
// the folder they are made in; the agent writes only below the user's profile (application data,
// the temporary folder) or its own folder, whose inherited lists already keep other users out.
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/system/Files.h"
#include "platform/system/Paths.h"
#include "platform/system/Win.h"

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

bool WriteFileAtomically(const std::string& path, std::string_view bytes, FileDurability durability) {
    const bool flush = durability == FileDurability::Flushed;
    if (path.empty() || path.back() == '\\' || path.back() == '/') return false;
    const std::string folder = FolderWithSeparator(path);
    const std::wstring target = win::Wide(path);
    // A temporary name made unique by process, thread and tick; CREATE_NEW never opens an
    // existing file, so a collision only fails this write.
    wchar_t suffix[64];
    std::swprintf(suffix, 64, L".%lu.%lu.%llu.tmp", ::GetCurrentProcessId(), ::GetCurrentThreadId(),
                  static_cast<unsigned long long>(::GetTickCount64()));
    const std::wstring temp = win::Wide(folder) + L"." + win::Wide(path.substr(folder.size())) + suffix;
    bool written = false;
    {
        win::UniqueHandle file(::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                             FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr));
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
