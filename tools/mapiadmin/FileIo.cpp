#include "tools/mapiadmin/FileIo.h"

#include <cerrno>
#include <cstdio>

#include "platform/system/Files.h"

namespace nx::mapiadmin {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path, bool generic) {
    const std::u8string text = generic ? path.generic_u8string() : path.u8string();
    return std::string(text.begin(), text.end());
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    bytes.clear();
    const nx::sys::FileStream f = nx::sys::OpenFileStream(path, "rb");
    if (!f) return false;
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0;) bytes.append(chunk, n);
    if (std::ferror(f.get())) {
        if (errno == 0) errno = EIO;
        return false;
    }
    return true;
}

bool WriteWholeFile(const std::string& path, std::string_view bytes) {
    std::FILE* f = nx::sys::OpenFileStream(path, "wb").release();
    if (f == nullptr) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    // The close flushes: its failure is the write's.
    const bool closed = std::fclose(f) == 0;
    if ((!written || !closed) && errno == 0) errno = EIO;
    return written && closed;
}

}  // namespace nx::mapiadmin
