// The operating-system side of the release format's file access: opening a
// file by its UTF-8 name, and the system's secure random source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qv::launcher {

// Opens the file named by the UTF-8 path for reading its bytes unchanged (no
// text-mode translation); null when it cannot be opened. The caller closes it
// with std::fclose.
std::FILE* openFileForReading(const std::string& path);

// Fills n bytes from the system's secure random source; false when the
// source cannot be opened or gives fewer bytes (out is then unusable).
bool readSecureRandom(std::uint8_t* out, std::size_t n);

} // namespace qv::launcher
