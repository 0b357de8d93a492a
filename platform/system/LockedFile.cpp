#include "platform/system/LockedFile.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/system/Files.h"

namespace nx::sys {

bool AppendToLockedFile(const std::string& path, std::string_view bytes, std::string_view headerWhenEmpty) {
    const UniqueFd fd(OpenPrivateForAppend(path));
    if (!fd) return false;
    if (::flock(fd.get(), LOCK_EX) != 0) return false;
    // The size is read under the lock: only the first appender of an empty file writes the header.
    struct stat st {};
    bool ok = ::fstat(fd.get(), &st) == 0;
    if (ok && st.st_size == 0) ok = WriteAllTo(fd.get(), headerWhenEmpty);
    if (ok) ok = WriteAllTo(fd.get(), bytes);
    ::flock(fd.get(), LOCK_UN);
    return ok;
}

}  // namespace nx::sys
