// Process and per-user locations on Windows: GetModuleFileNameW, the roaming application-data
// folder (APPDATA, else the shell's: SHGetFolderPathW, CSIDL_APPDATA), GetTempPathW, and
// SHCreateDirectoryExW, whose results are the codes Paths.h lists. Paths use '\'; '/' is accepted wherever a
// path is taken apart, as Windows itself accepts it.
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "platform/system/Paths.h"
#include "platform/system/Win.h"

namespace nx::sys {
namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// "C:\..." or "\\server\share\...": a path that does not depend on the current folder.
bool IsAbsolute(std::wstring_view path) {
    const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
    if (path.size() >= 3 && path[1] == L':' && separator(path[2])) return true;
    return path.size() >= 2 && separator(path[0]) && separator(path[1]);
}

std::string ModulePath(HMODULE module) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(module, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (n == 0) return std::string();
        // A full buffer may be a cut path: try again with a larger one.
        if (n < buffer.size()) return win::Narrow(std::wstring_view(buffer.data(), n));
        if (buffer.size() >= 32768) return std::string();
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::string ExecutablePath() {
    return ModulePath(nullptr);
}

std::string ModuleFileName(std::string_view moduleFileName) {
    // A module of that name loaded in the process, else (an ".exe" name, nothing loaded) the
    // process executable, as a null module handle gives.
    HMODULE module = ::GetModuleHandleW(win::Wide(moduleFileName).c_str());
    return ModulePath(module);
}

std::string RoamingAppDataFolder() {
    // APPDATA names the shell's folder in every logon session; a process given another one (as a
    // test gives each of its worlds, the way XDG_DATA_HOME moves it on Linux) follows it.
    wchar_t given[MAX_PATH + 1] = {};
    const DWORD length = ::GetEnvironmentVariableW(L"APPDATA", given, MAX_PATH + 1);
    if (length >= 3 && length <= MAX_PATH && IsAbsolute(std::wstring_view(given, length))) {
        std::string folder = win::Narrow(std::wstring_view(given, length));
        while (folder.size() > 3 && IsSeparator(folder.back())) folder.pop_back();
        const uint32_t made = CreateDirectoryWithParents(folder);
        return made == kErrorSuccess || made == kErrorAlreadyExists ? folder : std::string();
    }
    wchar_t path[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                  path)))
        return std::string();
    std::string folder = win::Narrow(path);
    while (folder.size() > 3 && IsSeparator(folder.back())) folder.pop_back();
    return folder;
}

std::string TempFolder() {
    wchar_t path[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathW(MAX_PATH + 1, path);
    std::string folder =
        n > 0 && n <= MAX_PATH ? win::Narrow(std::wstring_view(path, n)) : std::string("C:\\Windows\\Temp");
    while (folder.size() > 3 && IsSeparator(folder.back())) folder.pop_back();
    return folder;
}

uint32_t CreateDirectoryWithParents(std::string_view path) {
    if (path.empty()) return kErrorBadPathname;
    std::wstring wide = win::Wide(path);
    // The shell function wants '\' and refuses relative paths itself (ERROR_BAD_PATHNAME).
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    const int rc = ::SHCreateDirectoryExW(nullptr, wide.c_str(), nullptr);
    if (rc == ERROR_ALREADY_EXISTS) {
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY))
            return kErrorFileExists;
    }
    return static_cast<uint32_t>(rc);
}

bool ReadFileBytes(const std::string& path, std::size_t limit, std::string& out) {
    const win::UniqueHandle file(::CreateFileW(win::Wide(path).c_str(), GENERIC_READ,
                                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || ::GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    out.clear();
    char buffer[65536];
    while (out.size() <= limit) {
        const std::size_t want = std::min(sizeof buffer, limit + 1 - out.size());
        DWORD n = 0;
        if (!::ReadFile(file.get(), buffer, static_cast<DWORD>(want), &n, nullptr)) return false;
        if (n == 0) break;
        out.append(buffer, n);
    }
    return true;
}

std::string JoinPath(std::string_view dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    std::string out(dir);
    while (!out.empty() && IsSeparator(out.back())) out.pop_back();
    out += kPathSeparator;
    std::size_t skip = 0;
    while (skip < name.size() && IsSeparator(name[skip])) ++skip;
    out.append(name.substr(skip));
    return out;
}

std::string FolderWithSeparator(std::string_view path) {
    const auto pos = path.find_last_of("\\/");
    if (pos == std::string_view::npos) return "";
    return std::string(path.substr(0, pos + 1));
}

}  // namespace nx::sys
