// Whole files as strings of bytes, for tests that set up folders and read back what was written.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace qv::launcher::test {

// Writes the file (and the folders above it), replacing what was there.
inline void writeBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// The file's bytes; empty when it cannot be read.
inline std::string readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A text file the program wrote in text mode, read the same way: its lines end in "\n" on
// every host (Windows writes them as CR LF). Empty when it cannot be read.
inline std::string readText(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace qv::launcher::test
