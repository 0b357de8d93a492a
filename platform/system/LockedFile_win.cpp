// The locked append on Windows: the file opened for appending (shared, so other writers wait on
// the lock rather than fail to open), an exclusive LockFileEx over the whole file, the header
// when it is empty, the bytes, the lock released.
#include <algorithm>

#include "platform/system/LockedFile.h"
#include "platform/system/Win.h"

namespace nx::sys {
namespace {

bool WriteAll(HANDLE file, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
        DWORD n = 0;
        if (!::WriteFile(file, bytes.data(), chunk, &n, nullptr) || n == 0) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

}  // namespace

bool AppendToLockedFile(const std::string& path, std::string_view bytes, std::string_view headerWhenEmpty) {
    const win::UniqueHandle file(::CreateFileW(win::Wide(path).c_str(),
                                               FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    OVERLAPPED whole{};
    if (!::LockFileEx(file.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) return false;
    // The size is read under the lock: only the first appender of an empty file writes the header.
    LARGE_INTEGER size{};
    bool ok = ::GetFileSizeEx(file.get(), &size) != 0;
    if (ok && size.QuadPart == 0) ok = WriteAll(file.get(), headerWhenEmpty);
    if (ok) ok = WriteAll(file.get(), bytes);
    OVERLAPPED unlock{};
    ::UnlockFileEx(file.get(), 0, MAXDWORD, MAXDWORD, &unlock);
    return ok;
}

}  // namespace nx::sys
