#include "base/adler32.h"

#include <emmintrin.h>

#include <algorithm>

namespace qv::launcher {
namespace {

constexpr std::uint32_t kModulus = 65521;
constexpr std::size_t kBlock = 32;
// The sums are reduced after every run of this many bytes: a whole number of blocks, and no
// more than 5,552, the longest run whose sums cannot overflow 32 bits before they are reduced.
constexpr std::size_t kRun = 5552 / kBlock * kBlock;

// Adds whole 32-byte blocks to the sums. For a block of bytes x0..x31, a grows by their sum and b
// by 32 times a as it was before the block plus 32*x0 + 31*x1 + ... + 1*x31. The vectors hold
// per-lane parts of three sums over the blocks: the bytes, the weighted bytes, and a as it
// stood before each block (less a at the start); they are folded into a and b at the end.
void addBlocks(std::uint32_t& a, std::uint32_t& b, const std::uint8_t* p, std::size_t blocks) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i weights[4] = {_mm_setr_epi16(32, 31, 30, 29, 28, 27, 26, 25),
                                _mm_setr_epi16(24, 23, 22, 21, 20, 19, 18, 17),
                                _mm_setr_epi16(16, 15, 14, 13, 12, 11, 10, 9),
                                _mm_setr_epi16(8, 7, 6, 5, 4, 3, 2, 1)};
    __m128i sums = zero, weighted = zero, before = zero;
    for (std::size_t i = 0; i < blocks; ++i, p += kBlock) {
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        before = _mm_add_epi32(before, sums);
        sums = _mm_add_epi32(sums,
                             _mm_add_epi32(_mm_sad_epu8(first, zero), _mm_sad_epu8(second, zero)));
        const __m128i w0 = _mm_madd_epi16(_mm_unpacklo_epi8(first, zero), weights[0]);
        const __m128i w1 = _mm_madd_epi16(_mm_unpackhi_epi8(first, zero), weights[1]);
        const __m128i w2 = _mm_madd_epi16(_mm_unpacklo_epi8(second, zero), weights[2]);
        const __m128i w3 = _mm_madd_epi16(_mm_unpackhi_epi8(second, zero), weights[3]);
        weighted =
            _mm_add_epi32(weighted, _mm_add_epi32(_mm_add_epi32(w0, w1), _mm_add_epi32(w2, w3)));
    }
    auto total = [](__m128i v) {
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
        v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
        return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v));
    };
    b += static_cast<std::uint32_t>(blocks * kBlock) * a + kBlock * total(before) + total(weighted);
    a += total(sums);
}

} // namespace

std::uint32_t adler32Of(const std::uint8_t* p, std::size_t n) {
    std::uint32_t a = 1, b = 0;
    while (n > 0) {
        const std::size_t run = std::min(n, kRun);
        const std::size_t blocks = run / kBlock;
        addBlocks(a, b, p, blocks);
        for (std::size_t i = blocks * kBlock; i < run; ++i) {
            a += p[i];
            b += a;
        }
        p += run;
        n -= run;
        a %= kModulus;
        b %= kModulus;
    }
    return b << 16 | a;
}

} // namespace qv::launcher
