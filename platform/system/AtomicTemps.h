// The temporary files of atomic replacements (Files.h, WriteFileAtomically): how they are named,
// and which of them an interrupted write left behind. Portable; each system's Files side makes,
// judges and removes the files themselves.
//
// A replacement of "<folder>/<document>" writes "<folder>/.<document>.XXXXXX" (six letters or
// digits) and renames it over the document. A process killed between the two leaves that hidden
// file. The next replacement of the same document removes what such writes left of it, and only
// that: a name of the pattern for this very document, which its system's side then checks is a
// regular file of this user that no live writer holds (never a link, a folder or another's file).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace nx::sys {

// The length of the random part of a temporary file's name.
inline constexpr std::size_t kTemporaryTailLength = 6;

// The document whose temporary file `entry` (a name in a folder) would be, or "" when the name is
// not of the pattern: "." + document + "." + six ASCII letters or digits, the document not empty.
std::string DocumentOfTemporary(std::string_view entry);

// The folder's entries that are temporary files of `document` (their full paths), as far as this
// process knows of them. A folder is listed once, at the process's first replacement in it: only
// a process that died leaves a temporary file behind, and those died before this one came to the
// folder (the agent's folders are its own; a replacement that fails removes its file itself).
// The paths handed out are forgotten.
std::vector<std::string> TakeLeftoverTemporaries(const std::string& folder, std::string_view document);

}  // namespace nx::sys
