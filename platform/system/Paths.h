// Process and per-user locations, and folder creation, in the shapes the agent's start-up needs.
//
// Paths are plain UTF-8 strings with '/' as separator (kPathSeparator): the agent composes its
// "%s/Outlook" style paths with it and never sees a file descriptor.
//
//   Windows facility                  here
//   --------------------------------  ---------------------------------------------------------
//   module path of the process        /proc/self/exe, resolved (the real file, links followed)
//   module path of a named module     a loaded shared object of that file name (lib<base>.so or
//                                     <base>.so, version suffix allowed, for "<base>.dll"), else
//                                     the process executable
//   roaming application-data folder   $XDG_DATA_HOME, else $HOME/.local/share (created if missing)
//   temporary folder                  $TMPDIR, else /tmp
//   directory creation with parents   CreateDirectoryWithParents, Windows result codes; folders
//                                     are created 0700 (they hold the user's data)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace nx::sys {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// Windows error codes that the folder functions return.
inline constexpr uint32_t kErrorSuccess = 0;
inline constexpr uint32_t kErrorPathNotFound = 3;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kErrorFileExists = 80;
inline constexpr uint32_t kErrorBadPathname = 161;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorFilenameExcedRange = 206;

// Full path of the running executable; "" when it cannot be had.
std::string ExecutablePath();

// The path that a module-file-name query returns for `moduleFileName` ("Name.exe" or
// "Name.dll"): for a ".dll" name, the path of a loaded shared object called "libName.so" or
// "Name.so" (or such a name with a version suffix, "libName.so.6"). In every other case (an
// ".exe" name, or no such module loaded) the process executable, as on Windows when the module
// handle lookup gives null. "" only when even the executable path cannot be had.
std::string ModuleFileName(std::string_view moduleFileName);

// The per-user roaming application-data folder (no trailing separator), created with its
// parents when missing. "" when neither XDG_DATA_HOME nor HOME gives an absolute path or the
// folder cannot be created.
std::string RoamingAppDataFolder();

// The temporary folder (no trailing separator): $TMPDIR when it is an absolute path, else /tmp.
std::string TempFolder();

// Creates `path` and every missing parent. Results, as the Windows shell function gives them:
//   0   created
//   183 the folder already existed
//   80  a file (not a folder) of that name is in the way
//   3   a parent could not be created because a file is in its way or it vanished
//   5   permission denied
//   161 the path is empty or relative
//   206 a name or the path is too long
// Any other errno maps to 3.
uint32_t CreateDirectoryWithParents(std::string_view path);

// Reads a whole file into `out`, at most `limit` + 1 bytes (so a caller sees that a file is over
// its limit without reading all of it). False when the file cannot be opened or is not a
// regular file.
bool ReadFileBytes(const std::string& path, std::size_t limit, std::string& out);

// "dir/name" with exactly one separator between them; `dir` "" gives `name`.
std::string JoinPath(std::string_view dir, std::string_view name);

// The folder part of a path including its last separator ("/a/b/c" -> "/a/b/"); "" when the
// path has no separator.
std::string FolderWithSeparator(std::string_view path);

}  // namespace nx::sys
