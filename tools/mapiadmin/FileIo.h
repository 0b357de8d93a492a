// mapiadmin's own files (item inputs, dumps, the files of --files): paths are UTF-8 text on every
// system, made into std::filesystem paths and back here (a path's plain narrow form is the code
// page's on Windows, where it loses what the page cannot hold), and whole files are read and
// written through the system seam's stream opener (platform/system/Files.h: OpenFileStream, the
// wide _wfopen on Windows).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace nx::mapiadmin {

std::filesystem::path PathFromUtf8(std::string_view utf8);
// The path as UTF-8 text, with the system's separators, or with '/' when `generic`.
std::string Utf8FromPath(const std::filesystem::path& path, bool generic = false);

// The whole file at `path`; false (errno set) when it cannot be opened or read.
bool ReadWholeFile(const std::string& path, std::string& bytes);
// `bytes` as the whole file at `path`, created or truncated; false (errno set) on failure.
bool WriteWholeFile(const std::string& path, std::string_view bytes);

}  // namespace nx::mapiadmin
