#include "platform/system/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/system/AtomicTemps.h"
#include "platform/system/Paths.h"

namespace nx::sys {
bool WriteAllTo(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

namespace {

// Removes a temporary file that an interrupted write left, once it has shown to be one: opened
// without following a link, a regular file of this user, and locked by no live writer (a writer
// holds its file locked until the rename); the name must still name the file judged.
void RemoveLeftover(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) return;
    if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return;
    struct stat named {};
    if (::lstat(path.c_str(), &named) != 0 || named.st_dev != st.st_dev || named.st_ino != st.st_ino) return;
    ::unlink(path.c_str());
}

// Creates the temporary file of a write of `path` (AtomicTemps.h: "." + name + ".XXXXXX", mode
// 0600, exclusively, never through a link) and locks it for as long as it is open; `temp` gets its
// path.
UniqueFd CreateTemporary(const std::string& folder, const std::string& path, std::string& temp) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string pattern =
            folder + "." + path.substr(folder.size()) + "." + std::string(kTemporaryTailLength, 'X');
        UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
        if (!fd) return fd;
        temp = pattern;
        struct stat st {};
        // Another process's clean-up may have taken the file between its creation and the lock.
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &st) == 0 && st.st_nlink > 0)
            return fd;
        ::unlink(temp.c_str());
    }
    return UniqueFd();
}

}  // namespace

FileStream OpenFileStream(const std::string& path, const char* mode) {
    return FileStream(std::fopen(path.c_str(), mode));
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, FileDurability durability) {
    const bool flush = durability == FileDurability::Flushed;
    if (path.empty() || path.back() == kPathSeparator) return false;
    const std::string folder = FolderWithSeparator(path);
    for (const std::string& leftover : TakeLeftoverTemporaries(folder, path.substr(folder.size())))
        RemoveLeftover(leftover);
    // The temporary name starts with '.' and ends in random letters, so it never collides with
    // a document; a crash leaves at most one hidden file per interrupted write, until the next
    // write of the same document.
    std::string temp;
    UniqueFd fd = CreateTemporary(folder, path, temp);
    if (!fd) return false;
    const bool written = ::fchmod(fd.get(), kPrivateFileMode) == 0 && WriteAllTo(fd.get(), bytes) &&
                         (!flush || ::fsync(fd.get()) == 0);
    // The lock belongs to the open file, which a second descriptor keeps until the rename is done.
    const UniqueFd locked(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
    const bool closed = ::close(fd.release()) == 0;
    // rename replaces a link at `path` by the new file instead of writing through it.
    if (!written || !closed || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    if (!flush) return true;
    // The rename itself reaches the disk with the folder.
    UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.get());
    return true;
}

bool WriteFileForReader(const std::string& path, std::string_view bytes) {
    // O_NOFOLLOW: a symbolic link is refused (ELOOP); O_NONBLOCK: a FIFO never blocks the open.
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
    struct stat st {};
    static const uid_t self = ::geteuid();
    const bool ours = fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == self &&
                      st.st_nlink == 1 && (st.st_mode & 077) == 0;
    // Not a private file of ours with one name (or none yet): made anew, never written through.
    if (!ours) return WriteFileAtomically(path, bytes, FileDurability::ReplacedOnly);
    // Written from the start (where a new descriptor is), then cut to length: no truncation to
    // zero first, which the file system would also answer with an early write-out.
    if (!WriteAllTo(fd.get(), bytes)) return false;
    if (::ftruncate(fd.get(), static_cast<off_t>(bytes.size())) != 0) return false;
    return ::close(fd.release()) == 0;
}

OwnFolder MakeOwnFolder(const std::string& base, std::string_view relative) {
    // Each step is taken from the folder before it, so no link swapped in between is followed.
    UniqueFd folder(::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder) return OwnFolder::Unusable;
    bool below = false;
    std::size_t start = 0;
    while (start < relative.size()) {
        const std::size_t end = std::min(relative.find(kPathSeparator, start), relative.size());
        const std::string name(relative.substr(start, end - start));
        start = end + 1;
        if (name.empty() || name == ".") continue;
        below = true;
        if (::mkdirat(folder.get(), name.c_str(), kPrivateFolderMode) != 0 && errno != EEXIST)
            return OwnFolder::Unusable;
        UniqueFd next(::openat(folder.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            struct stat st {};
            if (::fstatat(folder.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return OwnFolder::Unusable;
            return S_ISLNK(st.st_mode) ? OwnFolder::Link : OwnFolder::NotAFolder;
        }
        folder = std::move(next);
    }
    if (!below) return OwnFolder::Ready;
    struct stat st {};
    if (::fstat(folder.get(), &st) != 0) return OwnFolder::Unusable;
    if (st.st_uid != ::geteuid()) return OwnFolder::OthersFolder;
    if ((st.st_mode & 077) != 0 && ::fchmod(folder.get(), kPrivateFolderMode) != 0)
        return OwnFolder::Unusable;
    return OwnFolder::Ready;
}

int OpenPrivateForAppend(const std::string& path, bool nonBlocking) {
    const int flags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (nonBlocking ? O_NONBLOCK : 0);
    UniqueFd fd(::open(path.c_str(), flags, kPrivateFileMode));
    if (!fd) return -1;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return -1;
    // A file we made earlier with a wider mode is narrowed; another user's file is left alone.
    if (S_ISREG(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ::fchmod(fd.get(), kPrivateFileMode);
    return fd.release();
}

ReadFileResult ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes) {
    bytes.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return errno == ENOENT || errno == ENOTDIR ? ReadFileResult::Missing : ReadFileResult::Unreadable;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return ReadFileResult::Unreadable;
    if (!S_ISREG(st.st_mode)) return ReadFileResult::NotAFile;
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > maxBytes) return ReadFileResult::TooLarge;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            bytes.clear();
            return ReadFileResult::Unreadable;
        }
        if (n == 0) return ReadFileResult::Read;
        // The file may grow while it is read: the cap holds for what is read, not only the size.
        if (static_cast<std::size_t>(n) > maxBytes - bytes.size()) {
            bytes.clear();
            return ReadFileResult::TooLarge;
        }
        bytes.append(chunk, static_cast<std::size_t>(n));
    }
}

void MakeCreatedFilesPrivate() {
    ::umask(077);
}

uint64_t RaiseOpenFileLimit() {
    struct rlimit lim {};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    if (lim.rlim_cur < lim.rlim_max) {
        struct rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(lim.rlim_cur);
}

uint64_t OpenFileLimit() {
    struct rlimit lim {};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    return lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(lim.rlim_cur);
}

uint64_t OpenDescriptorCount() {
    uint64_t n = 0;
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (const dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
        return n - 1;  // the listing's own descriptor
    }
    // Without /proc: every descriptor below the limit that is open.
    const uint64_t limit = std::min<uint64_t>(OpenFileLimit(), 1u << 20);
    for (uint64_t fd = 0; fd < limit; ++fd)
        if (::fcntl(static_cast<int>(fd), F_GETFD) != -1) ++n;
    return n;
}

void CreatePrivateFileIfMissing(const std::string& path) {
    const UniqueFd fd(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kPrivateFileMode));
}

bool IdentifyFile(const std::string& path, FileIdentity& out) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
    out = FileIdentity{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
    return true;
}

uint64_t CurrentProcessId() {
    return static_cast<uint64_t>(::getpid());
}

bool IsTerminal(int fd) {
    return ::isatty(fd) != 0;
}

void KeepRunningOnClosedPipes() {
    ::signal(SIGPIPE, SIG_IGN);
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0;
}

}  // namespace nx::sys
