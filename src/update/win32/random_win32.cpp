// Windows: the system's preferred generator, which needs no handle and no file, so nothing can
// be inherited and no key material passes through a stream buffer.
#include "update/random_os.h"

#include <windows.h>

#include <bcrypt.h>

#include <climits>

namespace qv::launcher {

bool readSecureRandom(std::uint8_t* out, std::size_t n) {
    // The generator takes a 32-bit count; larger requests are filled in parts.
    while (n > 0) {
        const ULONG part = n > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(n);
        if (BCryptGenRandom(nullptr, out, part, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
            return false;
        }
        out += part;
        n -= part;
    }
    return true;
}

} // namespace qv::launcher
