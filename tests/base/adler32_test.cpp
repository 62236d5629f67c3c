#include "base/adler32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace qv::launcher {
namespace {

// zlib's own Adler-32 is the reference. All-0xFF bytes make the largest sums, where a run too long
// between reductions would overflow; the lengths sit around the vector blocks and the reduction
// runs, and the offsets make the block loads unaligned.
TEST(Adler32, MatchesZlibAtEveryLengthFillAndAlignment) {
    const std::vector<uint8_t> noise = [] {
        std::mt19937 random(3);
        std::vector<uint8_t> bytes((size_t{1} << 20) + 64);
        for (uint8_t& byte : bytes)
            byte = static_cast<uint8_t>(random());
        return bytes;
    }();
    const std::vector<uint8_t> ones(noise.size(), 0xFF);

    const size_t lengths[] = {0,
                              1,
                              15,
                              16,
                              17,
                              31,
                              32,
                              33,
                              5535,
                              5536,
                              5537,
                              5552,
                              5553,
                              5552 * 2 + 9,
                              5552 * 3 + 16,
                              size_t{1} << 20};
    for (const std::vector<uint8_t>* fill : {&ones, &noise}) {
        for (size_t offset : {0, 1, 7}) {
            for (size_t n : lengths) {
                const uint8_t* p = fill->data() + offset;
                const uLong expected = adler32(adler32(0, nullptr, 0), p, static_cast<uInt>(n));
                EXPECT_EQ(adler32Of(p, n), expected) << (fill == &ones ? "0xFF" : "noise")
                                                     << " offset " << offset << " length " << n;
            }
        }
    }
}

} // namespace
} // namespace qv::launcher
