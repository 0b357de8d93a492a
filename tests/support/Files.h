// Whole files for tests: read all the bytes of one, write all the bytes of one (its folders made).
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace nx::test {

// The bytes of the file; empty when it cannot be read.
inline std::string ReadWholeFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Replaces the file's bytes, making its folder first.
inline void WriteWholeFile(const std::filesystem::path& p, const std::string& bytes) {
    if (p.has_parent_path()) std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace nx::test
