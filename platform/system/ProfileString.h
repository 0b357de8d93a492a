// Profile-file ("ini") reading with the semantics of the Windows profile-string function:
//
//   - sections "[name]" and keys "key=value"; names and keys compare without regard to case
//     (ASCII letters), after trimming blanks and tabs around them;
//   - the value is the text after the first '=', trimmed; one pair of matching surrounding
//     quotes (" or ') is removed; a ';' or ':' inside a value or key is ordinary text;
//   - lines starting with ';' are comments; lines without '=' carry no value; indentation never
//     continues a previous line;
//   - a section that appears twice is one section; within it the first occurrence of a key wins;
//   - a missing file, section or key gives the default (trailing blanks trimmed, as Windows does);
//   - the result is cut to the caller's buffer: at most bufferUnits - 1 UTF-16 code units, the
//     last unit being the terminator (the agent passes 260);
//   - the file is UTF-8 (a UTF-8 byte-order mark is skipped) or UTF-16 (LE or BE, with or
//     without a mark; see TextFileToUtf8); an encoding that had to be guessed, an odd UTF-16
//     byte count, zero bytes in UTF-8 or a file over 1 MiB (only its first MiB is read) is said
//     on the debug output, "<path>: <what>".
//
// The line grammar is libinih's. Its packaged build cuts lines at 200 bytes, names sections in
// 50 bytes, strips " ;" comments and treats indented lines as continuations, none of which a
// Windows profile file does; the reader therefore feeds libinih a normalised form of each line
// (sections by number, values with blanks and delimiters escaped and long values split into
// continuation pieces) and restores the text in the handler. Keys longer than 150 bytes are not
// found.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace nx::sys {

inline constexpr std::size_t kProfileBufferUnits = 260;

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue, std::size_t bufferUnits,
                                    const std::string& path);

// The same reading over the bytes of a profile file already in memory.
std::string GetProfileStringFromBytes(std::string_view fileBytes, std::string_view section,
                                      std::string_view key, std::string_view defaultValue,
                                      std::size_t bufferUnits);

}  // namespace nx::sys
