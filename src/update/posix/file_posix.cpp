// POSIX: file names are UTF-8 already, and the kernel's random device is the
// secure source.
#include "update/file_os.h"

#include <fstream>

namespace qv::launcher {

std::FILE* openFileForReading(const std::string& path) {
    // A name with a NUL inside would open a different, shorter name.
    if (path.find('\0') != std::string::npos) return nullptr;
    return std::fopen(path.c_str(), "rb");
}

bool readSecureRandom(std::uint8_t* out, std::size_t n) {
    // Unbuffered, so no key material is left behind in a stream buffer.
    std::ifstream source;
    source.rdbuf()->pubsetbuf(nullptr, 0);
    source.open("/dev/urandom", std::ios::binary);
    if (!source) return false;
    source.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
    return static_cast<std::size_t>(source.gcount()) == n;
}

} // namespace qv::launcher
