#include "base/adler32.h"

#include <algorithm>

namespace qv::launcher {

std::uint32_t adler32Of(const std::uint8_t* p, std::size_t n) {
    constexpr std::uint32_t kModulus = 65521;
    constexpr std::size_t kRun = 5552; // the longest run whose sums cannot overflow 32 bits
    std::uint32_t a = 1, b = 0;
    while (n > 0) {
        std::size_t run = std::min(n, kRun);
        n -= run;
        for (; run >= 4; run -= 4, p += 4) { // unrolled: the sums are the whole cost
            a += p[0];
            b += a;
            a += p[1];
            b += a;
            a += p[2];
            b += a;
            a += p[3];
            b += a;
        }
        for (; run > 0; --run) {
            a += *p++;
            b += a;
        }
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

} // namespace qv::launcher
