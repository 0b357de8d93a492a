#include "platform/system/Paths.h"

#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/system/Files.h"

namespace nx::sys {
namespace {

std::string BaseName(std::string_view path) {
    const auto pos = path.rfind(kPathSeparator);
    return std::string(pos == std::string_view::npos ? path : path.substr(pos + 1));
}

bool EndsWithNoCase(std::string_view s, std::string_view suffix) {
    if (s.size() < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
        char a = s[s.size() - suffix.size() + i];
        char b = suffix[i];
        if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
        if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
        if (a != b) return false;
    }
    return true;
}

struct SharedObjectSearch {
    std::vector<std::string> names;
    std::string found;
};

int VisitSharedObject(struct dl_phdr_info* info, size_t, void* data) {
    auto* search = static_cast<SharedObjectSearch*>(data);
    if (info->dlpi_name == nullptr || info->dlpi_name[0] == '\0') return 0;
    const std::string base = BaseName(info->dlpi_name);
    for (const auto& n : search->names) {
        // "libc.so" also matches a versioned file name such as "libc.so.6".
        if (base == n || (base.size() > n.size() && base.compare(0, n.size() + 1, n + ".") == 0)) {
            char resolved[PATH_MAX];
            search->found = realpath(info->dlpi_name, resolved) ? resolved : info->dlpi_name;
            return 1;
        }
    }
    return 0;
}

uint32_t ErrnoToWindows(int e) {
    switch (e) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENAMETOOLONG:
            return kErrorFilenameExcedRange;
        default:
            return kErrorPathNotFound;
    }
}

bool IsAbsolute(const char* p) {
    return p != nullptr && p[0] == '/';
}

}  // namespace

std::string ExecutablePath() {
    std::vector<char> buf(PATH_MAX + 1);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return "";
        if (static_cast<std::size_t>(n) < buf.size())
            return std::string(buf.data(), static_cast<std::size_t>(n));
        if (buf.size() > (1u << 20)) return "";
        buf.resize(buf.size() * 2);
    }
}

std::string ModuleFileName(std::string_view moduleFileName) {
    const std::string exe = ExecutablePath();
    if (EndsWithNoCase(moduleFileName, ".dll")) {
        const std::string base(moduleFileName.substr(0, moduleFileName.size() - 4));
        SharedObjectSearch search{{"lib" + base + ".so", base + ".so"}, {}};
        dl_iterate_phdr(VisitSharedObject, &search);
        if (!search.found.empty()) return search.found;
    }
    return exe;
}

std::string RoamingAppDataFolder() {
    std::string folder;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (IsAbsolute(xdg)) {
        folder = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (!IsAbsolute(home)) return "";
        folder = JoinPath(home, ".local/share");
    }
    while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    const uint32_t rc = CreateDirectoryWithParents(folder);
    if (rc != kErrorSuccess && rc != kErrorAlreadyExists) return "";
    return folder;
}

std::string TempFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = IsAbsolute(tmp) ? tmp : "/tmp";
    while (folder.size() > 1 && folder.back() == kPathSeparator) folder.pop_back();
    return folder;
}

uint32_t CreateDirectoryWithParents(std::string_view pathView) {
    if (pathView.empty() || pathView.front() != kPathSeparator) return kErrorBadPathname;
    if (pathView.size() >= PATH_MAX) return kErrorFilenameExcedRange;
    std::string path(pathView);
    while (path.size() > 1 && path.back() == kPathSeparator) path.pop_back();

    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? kErrorAlreadyExists : kErrorFileExists;

    // Create each missing component from the top down.
    for (std::size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != kPathSeparator) continue;
        const std::string part = path.substr(0, pos);
        if (mkdir(part.c_str(), 0700) == 0) continue;  // the user's data: private
        const int e = errno;
        if (e == EEXIST) {
            if (stat(part.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
            return pos == path.size() ? kErrorFileExists : kErrorPathNotFound;
        }
        if (e == ENOTDIR) return kErrorPathNotFound;
        return ErrnoToWindows(e);
    }
    return kErrorSuccess;
}

bool ReadFileBytes(const std::string& path, std::size_t limit, std::string& out) {
    out.clear();
    // O_NONBLOCK: a FIFO or device in the file's place must not block the reader.
    const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) return false;
    struct stat st {};
    if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    char chunk[65536];
    while (out.size() <= limit) {
        const std::size_t want = std::min(sizeof chunk, limit + 1 - out.size());
        const ssize_t n = read(fd.get(), chunk, want);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return true;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    std::string out(dir);
    while (!out.empty() && out.back() == kPathSeparator) out.pop_back();
    out += kPathSeparator;
    std::size_t skip = 0;
    while (skip < name.size() && name[skip] == kPathSeparator) ++skip;
    out.append(name.substr(skip));
    return out;
}

std::string FolderWithSeparator(std::string_view path) {
    const auto pos = path.rfind(kPathSeparator);
    if (pos == std::string_view::npos) return "";
    return std::string(path.substr(0, pos + 1));
}

}  // namespace nx::sys
