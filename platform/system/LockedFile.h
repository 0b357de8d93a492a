// Appending to a file that several processes append to (the trace log): each append holds the
// file's exclusive lock, so that lines of different processes never interleave.
#pragma once

#include <string>
#include <string_view>

namespace nx::sys {

// Appends `bytes` to the file at `path`, opened as OpenPrivateForAppend does (private, no link
// followed), under an
// exclusive lock of the whole file; a file that is empty when the lock is taken first gets
// `headerWhenEmpty` (a byte-order mark). False when the file cannot be opened, locked or fully
// written.
bool AppendToLockedFile(const std::string& path, std::string_view bytes, std::string_view headerWhenEmpty);

}  // namespace nx::sys
