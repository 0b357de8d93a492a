// Private, crash-safe file writing and the process-wide file settings of the agent.
//
// Everything the agent writes holds the user's contacts, calendar or traces of them, so it is
// private to the user: folders 0700, files 0600, whatever the umask. A document is never
// rewritten in place: a reader (or a crash) sees the old document or the new one, never a
// truncated one.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace nx::sys {

inline constexpr unsigned kPrivateFileMode = 0600;
inline constexpr unsigned kPrivateFolderMode = 0700;

// Owns one open file descriptor; closes it when it goes out of scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Whether a replacement waits for the disk. Documents the host reads later are Flushed; files
// made again at every read (contact pictures, thousands a read) only need to be replaced whole
// and private, and an fsync each would cost milliseconds apiece.
enum class FileDurability { Flushed, ReplacedOnly };

// Replaces the file at `path` with `bytes` atomically: the bytes go to a new temporary file in
// the same folder (mode 0600), are flushed to the disk (unless ReplacedOnly), and the temporary
// file is renamed over `path`. A symbolic link at `path` is replaced, never followed. On failure
// the old file is left as it was, the temporary file is removed and false is returned.
bool WriteFileAtomically(const std::string& path, std::string_view bytes,
                         FileDurability durability = FileDurability::Flushed);

// Writes `bytes` as the file at `path` for a reader that takes the file only between this call's
// return and the next write of the same name (a contact picture, read by the host during the
// callback that names it): an existing regular file of ours with one link is written over in
// place through a descriptor that follows no link, then cut to length, with no flush and no
// rename (replacing an existing file by rename makes the file system write the new data out
// first, milliseconds apiece). Anything else at the path (a symbolic or hard link, a FIFO, another
// user's file) is replaced by WriteFileAtomically instead, so nothing is written through; a
// missing file is created 0600. False on failure. Windows replaces the file as
// WriteFileAtomically(ReplacedOnly) does.
bool WriteFileForReader(const std::string& path, std::string_view bytes);

// What MakeOwnFolder made of a folder of the agent's own.
enum class OwnFolder {
    Ready,         // there, a folder of this user's, private
    Link,          // a symbolic link (on Windows any reparse point) in its place: refused, not followed
    NotAFolder,    // a file in its place
    OthersFolder,  // a folder of another user's
    Unusable,      // cannot be made or opened
};

// Makes "<base>/<relative>" a folder of the agent's own: `relative` names folders below `base`
// separated by kPathSeparator ("" is `base` itself). `base` (the user's application-data or
// temporary folder) is taken as it is; below it every missing folder is created private, none
// is a link (never followed), and the last one must be this user's and is narrowed to its owner
// alone when others may use it (mode 0700; on Windows an access list of the user alone, not
// inherited): a folder the agent keeps documents or pictures in is nobody else's to read.
OwnFolder MakeOwnFolder(const std::string& base, std::string_view relative);

// Opens `path` for appending, created 0600 when missing; a symbolic link as the last component
// is refused. An existing file of ours that others may read is narrowed to 0600. -1 on failure.
// `nonBlocking`: a FIFO in the file's place is opened without waiting for a reader.
int OpenPrivateForAppend(const std::string& path, bool nonBlocking = false);

// What ReadRegularFile found at a path.
enum class ReadFileResult { Read, Missing, NotAFile, TooLarge, Unreadable };

// Reads the regular file at `path` whole into `bytes`, at most `maxBytes` of it. The file is
// opened without waiting (a FIFO or a device in its place is refused as NotAFile, never waited
// on) and judged on the open descriptor, so a swap after a check cannot slip another kind of
// file in. A file that holds more than `maxBytes` (or grows past it while read) is TooLarge.
// `bytes` is cleared unless the result is Read.
ReadFileResult ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes);

// Closes a C stream (FileStream).
struct FileStreamCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileStream = std::unique_ptr<std::FILE, FileStreamCloser>;

// Opens a C stream as fopen does, `path` in UTF-8 on every system: on Windows through _wfopen
// with the wide path, so a name outside the process code page opens too. Null on failure, errno
// set. For the tools' own files (mapiadmin's inputs and outputs); the agent's files go through
// the functions above.
FileStream OpenFileStream(const std::string& path, const char* mode);

// Writes all of `bytes` to the descriptor, going on after interruptions; false on an error.
bool WriteAllTo(int fd, std::string_view bytes);

// Start-up of the agent: files and folders created by anything in the process (the store and
// the journal included) are private to the user (umask 077).
void MakeCreatedFilesPrivate();

// Start-up of the agent: raises the soft limit of open descriptors to the hard limit, so that
// the connection table, not the 1024 default, is what a flood of connections meets first.
// Returns the soft limit now in force (0 when it cannot be read).
uint64_t RaiseOpenFileLimit();

// The soft limit of open descriptors (0 when it cannot be read).
uint64_t OpenFileLimit();

// How many descriptors the process has open right now.
uint64_t OpenDescriptorCount();

// Creates `path` as a new, empty private file when nothing is there (an existing file or link is
// left alone): a library that opens the file later gives its companion files the same access.
void CreatePrivateFileIfMissing(const std::string& path);

// Which file a path names right now: device and inode (on Windows the volume serial number and
// the file index), so a caller sees that a file was replaced or moved under the same name.
struct FileIdentity {
    uint64_t volume = 0;
    uint64_t file = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};
bool IdentifyFile(const std::string& path, FileIdentity& out);

// A write to a pipe whose reader went away must fail, not end the process: on Linux SIGPIPE is
// ignored from here on; Windows never raises one.
void KeepRunningOnClosedPipes();

// Removes a file (not a folder); false when it was not there or could not be removed.
bool RemoveFile(const std::string& path);

// This process's id (a child after fork has its own).
uint64_t CurrentProcessId();

// True when the descriptor is a terminal (a console on Windows), where progress lines may redraw.
bool IsTerminal(int fd);

}  // namespace nx::sys
