// POSIX: file names are UTF-8 already, and the kernel's random device is the
// secure source. Every descriptor is opened close-on-exec ("e"): files are
// hashed on the worker thread while the main thread may start the game, which
// must inherit none of them.
#include "update/file_os.h"

namespace qv::launcher {

std::FILE* openFileForReading(const std::string& path) {
    // A name with a NUL inside would open a different, shorter name.
    if (path.find('\0') != std::string::npos) return nullptr;
    return std::fopen(path.c_str(), "rbe");
}

bool readSecureRandom(std::uint8_t* out, std::size_t n) {
    std::FILE* source = std::fopen("/dev/urandom", "rbe");
    if (!source) return false;
    // Unbuffered, so no key material is left behind in a stream buffer.
    std::setvbuf(source, nullptr, _IONBF, 0);
    const std::size_t got = std::fread(out, 1, n, source);
    std::fclose(source);
    return got == n;
}

} // namespace qv::launcher
