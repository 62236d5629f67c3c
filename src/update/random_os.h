// The operating-system side of the release format's key making: the system's
// secure random source. (Files are opened through fs_os.h.)
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv::launcher {

// Fills n bytes from the system's secure random source; false when the
// source cannot be opened or gives fewer bytes (out is then unusable).
bool readSecureRandom(std::uint8_t* out, std::size_t n);

} // namespace qv::launcher
