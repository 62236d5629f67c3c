// The crypto layer against digests, keys, signatures and check results that
// Monocypher 4.0.2 itself produced: every line of the vector files must come
// out the same.
#include "update/crypto.h"
#include "update/hex.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

using namespace qv::launcher;

namespace {

using Bytes = std::vector<std::uint8_t>;

struct VectorLine {
    int number = 0;
    std::vector<std::string> fields;
};

// The non-comment lines of a vector file, split at blanks.
std::vector<VectorLine> readVectors(const std::string& name) {
    std::ifstream file(std::string(CORVANTHE_SOURCE_DIR) + "/tests/data/vectors/" + name);
    EXPECT_TRUE(file) << name;
    std::vector<VectorLine> lines;
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        if (text.empty() || text[0] == '#') continue;
        VectorLine line{number, {}};
        std::istringstream words(text);
        for (std::string word; words >> word;)
            line.fields.push_back(word);
        lines.push_back(line);
    }
    return lines;
}

Bytes bytesOf(const std::string& hex) {
    if (hex == "-") return {};
    Bytes bytes(hex.size() / 2);
    EXPECT_TRUE(fromHex(hex, bytes.data(), bytes.size())) << hex;
    return bytes;
}

template <std::size_t N> std::array<std::uint8_t, N> arrayOf(const std::string& hex) {
    std::array<std::uint8_t, N> bytes{};
    EXPECT_TRUE(fromHex(hex, bytes.data(), N)) << hex;
    return bytes;
}

// The message of a "pattern" line: byte i is (i * 7 + 3) mod 256.
Bytes patternMessage(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + 3);
    return bytes;
}

// Feeds the message in pieces of changing size, so that pieces end inside,
// at and across the 128-byte block boundary.
std::string streamedDigest(const Bytes& message, std::size_t digestSize) {
    static const std::size_t pieces[] = {1, 127, 128, 129, 0, 64, 1000, 65536};
    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, digestSize);
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < message.size(); ++i) {
        const std::size_t n = std::min(pieces[i % std::size(pieces)], message.size() - offset);
        crypto_blake2b_update(&ctx, message.data() + offset, n);
        offset += n;
    }
    std::uint8_t digest[64];
    crypto_blake2b_final(&ctx, digest);
    return toHex(digest, digestSize);
}

std::string oneShotDigest(const Bytes& message, std::size_t digestSize) {
    std::uint8_t digest[64];
    crypto_blake2b(digest, digestSize, message.data(), message.size());
    return toHex(digest, digestSize);
}

} // namespace

TEST(Blake2b, EveryVectorDigestOneShotAndStreamed) {
    const auto lines = readVectors("blake2b-256.txt");
    ASSERT_EQ(lines.size(), 270u);
    for (const VectorLine& line : lines) {
        SCOPED_TRACE("blake2b-256.txt line " + std::to_string(line.number));
        ASSERT_EQ(line.fields.size(), 3u);
        Bytes message;
        if (line.fields[0] == "msg")
            message = bytesOf(line.fields[1]);
        else if (line.fields[0] == "pattern")
            message = patternMessage(std::stoul(line.fields[1]));
        else
            FAIL() << "unknown kind " << line.fields[0];
        const std::string& digest = line.fields[2];
        EXPECT_EQ(oneShotDigest(message, 32), digest);
        EXPECT_EQ(streamedDigest(message, 32), digest);
    }
}

TEST(Blake2b, SixtyFourByteDigestAndFinalWipesTheContext) {
    // BLAKE2b-512("abc"), the worked example of RFC 7693.
    const std::string abc = "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
                            "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923";
    const Bytes message = {'a', 'b', 'c'};
    EXPECT_EQ(oneShotDigest(message, 64), abc);
    EXPECT_EQ(streamedDigest(message, 64), abc);

    crypto_blake2b_ctx ctx;
    crypto_blake2b_init(&ctx, 64);
    crypto_blake2b_update(&ctx, message.data(), message.size());
    std::uint8_t digest[64];
    crypto_blake2b_final(&ctx, digest);
    const auto* raw = reinterpret_cast<const std::uint8_t*>(&ctx);
    EXPECT_TRUE(std::all_of(raw, raw + sizeof ctx, [](std::uint8_t b) { return b == 0; }));
}

class Eddsa : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        for (const VectorLine& line : readVectors("eddsa-blake2b.txt")) {
            if (line.fields[0] == "key")
                keys.push_back(line);
            else if (line.fields[0] == "sig")
                sigs.push_back(line);
            else
                ADD_FAILURE() << "unknown kind on line " << line.number;
        }
    }
    static inline std::vector<VectorLine> keys;
    static inline std::vector<VectorLine> sigs;
};

TEST_F(Eddsa, KeyPairsFromSeedsMatchAndTheSeedIsWiped) {
    ASSERT_EQ(keys.size(), 24u);
    for (const VectorLine& line : keys) {
        SCOPED_TRACE("eddsa-blake2b.txt line " + std::to_string(line.number));
        ASSERT_EQ(line.fields.size(), 4u);
        auto seed = arrayOf<32>(line.fields[1]);
        std::uint8_t secretKey[64];
        std::uint8_t publicKey[32];
        crypto_eddsa_key_pair(secretKey, publicKey, seed.data());
        EXPECT_EQ(toHex(secretKey, 64), line.fields[2]);
        EXPECT_EQ(toHex(publicKey, 32), line.fields[3]);
        EXPECT_EQ(seed, (std::array<std::uint8_t, 32>{}));

        // The seed may be the first half of the secret key it becomes.
        std::uint8_t inPlace[64];
        std::memcpy(inPlace, arrayOf<32>(line.fields[1]).data(), 32);
        crypto_eddsa_key_pair(inPlace, publicKey, inPlace);
        EXPECT_EQ(toHex(inPlace, 64), line.fields[2]);
    }
}

TEST_F(Eddsa, EveryCheckResultMatchesAndValidSignaturesAreReproduced) {
    ASSERT_EQ(sigs.size(), 261u);
    std::map<std::string, std::string> secretOfPublic;
    for (const VectorLine& line : keys)
        secretOfPublic[line.fields[3]] = line.fields[2];

    int reproduced = 0;
    for (const VectorLine& line : sigs) {
        SCOPED_TRACE("eddsa-blake2b.txt line " + std::to_string(line.number) + " (" +
                     line.fields.back() + ")");
        ASSERT_EQ(line.fields.size(), 6u);
        const auto publicKey = arrayOf<32>(line.fields[1]);
        const Bytes message = bytesOf(line.fields[2]);
        const auto signature = arrayOf<64>(line.fields[3]);
        const int expected = std::stoi(line.fields[4]);
        EXPECT_EQ(
            crypto_eddsa_check(signature.data(), publicKey.data(), message.data(), message.size()),
            expected);

        const auto secret = secretOfPublic.find(line.fields[1]);
        if (expected == 0 && secret != secretOfPublic.end()) {
            const auto secretKey = arrayOf<64>(secret->second);
            std::uint8_t made[64];
            crypto_eddsa_sign(made, secretKey.data(), message.data(), message.size());
            EXPECT_EQ(toHex(made, 64), line.fields[3]);
            ++reproduced;
        }
    }
    EXPECT_EQ(reproduced, 144);
}
