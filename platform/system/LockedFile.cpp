#include "platform/system/LockedFile.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/system/Files.h"

namespace nx::sys {
namespace {

bool WriteAll(int fd, std::string_view bytes) {
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

}  // namespace

bool AppendToLockedFile(const std::string& path, std::string_view bytes, std::string_view headerWhenEmpty) {
    const UniqueFd fd(OpenPrivateForAppend(path));
    if (!fd) return false;
    if (::flock(fd.get(), LOCK_EX) != 0) return false;
    // The size is read under the lock: only the first appender of an empty file writes the header.
    struct stat st {};
    bool ok = ::fstat(fd.get(), &st) == 0;
    if (ok && st.st_size == 0) ok = WriteAll(fd.get(), headerWhenEmpty);
    if (ok) ok = WriteAll(fd.get(), bytes);
    ::flock(fd.get(), LOCK_UN);
    return ok;
}

}  // namespace nx::sys
