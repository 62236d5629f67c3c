// POSIX: the kernel's random device is the secure source, opened close-on-exec
// ("e") like every descriptor of the updater, as the main thread may start the
// game meanwhile.
#include "update/random_os.h"

#include <cstdio>

namespace qv::launcher {

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
