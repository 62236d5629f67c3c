#include "update/signed_text.h"

#include "update/crypto.h"
#include "update/hex.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <string>

using namespace qv::launcher;

namespace {

std::array<std::uint8_t, 32> testSeed() {
    std::array<std::uint8_t, 32> seed;
    for (std::size_t i = 0; i < seed.size(); ++i)
        seed[i] = static_cast<std::uint8_t>(i * 5 + 1);
    return seed;
}

class SignedText : public ::testing::Test {
  protected:
    void SetUp() override {
        auto seed = testSeed();
        crypto_eddsa_key_pair(secretKey, publicKey, seed.data());
        signedText = signText(body, secretKey);
    }

    // The verdict, checking on the way that a refusal leaves the body alone.
    bool accepts(const std::string& text, std::string* bodyOut = nullptr) {
        std::string out = "left alone";
        const bool ok = verifySigned(text, publicKey, out);
        if (!ok) {
            EXPECT_EQ(out, "left alone");
        }
        if (bodyOut) *bodyOut = out;
        return ok;
    }

    std::uint8_t secretKey[64];
    std::uint8_t publicKey[32];
    const std::string body = "# Patch 1.2\n- faster loading\r\n\n";
    std::string signedText;
};

TEST_F(SignedText, SignatureLineMustBeExact) {
    const std::string bare = signedText.substr(0, signedText.size() - 1); // without the line feed
    const std::string digits = bare.substr(body.size() + 10);
    std::string upper = digits;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    struct Case {
        const char* what;
        std::string text;
        bool ok;
    };
    const Case cases[] = {
        {"as signed, one line feed", signedText, true},
        {"no line feed after the digits", bare, true},
        {"upper-case digits", body + "signature " + upper + "\n", true},
        {"two line feeds", signedText + "\n", false},
        {"carriage return before the line feed", bare + "\r\n", false},
        {"127 digits", bare.substr(0, bare.size() - 1) + "\n", false},
        {"129 digits", bare + "0\n", false},
        {"trailing blank", bare + " \n", false},
        {"capital S", body + "Signature " + digits + "\n", false},
        {"two blanks", body + "signature  " + digits.substr(1) + "\n", false},
        {"no blank", body + "signature" + digits + "0\n", false},
        {"a digit that is none", body + "signature g" + digits.substr(1) + "\n", false},
        {"a line after the signature", signedText + "thanks\n", false},
        {"empty text", "", false},
        {"a lone line feed", "\n", false},
        {"body only", body, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::string out;
        EXPECT_EQ(accepts(c.text, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, body);
        }
    }
}

TEST_F(SignedText, EveryBodyByteIsSigned) {
    for (std::size_t i = 0; i < body.size(); ++i) {
        SCOPED_TRACE(i);
        std::string changed = signedText;
        changed[i] ^= 0x01;
        EXPECT_FALSE(accepts(changed));
    }
    // Dropping the body's final line feed, or adding one, breaks it too.
    EXPECT_FALSE(accepts(signedText.substr(0, body.size() - 1) + signedText.substr(body.size())));
    EXPECT_FALSE(accepts(body + "\n" + signedText.substr(body.size())));
}

TEST_F(SignedText, OnlyTheLastLineIsTheSignature) {
    // A body whose lines look like signature lines, even a valid one, is body.
    const std::string lookalike = signedText + "signature " + std::string(128, 'a') + "\n";
    const std::string text = signText(lookalike, secretKey);
    std::string out;
    EXPECT_TRUE(accepts(text, &out));
    EXPECT_EQ(out, lookalike);
    // And such a line at the end is the one checked, whatever came before.
    EXPECT_FALSE(accepts(lookalike));
}

TEST_F(SignedText, RoundTripThroughSignText) {
    struct Case {
        std::string body;
        bool ok;
    };
    const Case cases[] = {{"", true},
                          {"one line\n", true},
                          {"a\nb\n", true},
                          {"no final line feed", false},
                          {"a\nb", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        const std::string text = signText(c.body, secretKey);
        EXPECT_EQ(text.size(), c.body.size() + 139);
        EXPECT_EQ(text.back(), '\n');
        std::string out;
        EXPECT_EQ(accepts(text, &out), c.ok);
        if (c.ok) {
            EXPECT_EQ(out, c.body);
        }
    }
    // The signature line alone signs zero bytes.
    const std::string alone = signText("", secretKey);
    EXPECT_EQ(alone.substr(0, 10), "signature ");
    std::string out = "stale";
    EXPECT_TRUE(verifySigned(alone, publicKey, out));
    EXPECT_EQ(out, "");
}

TEST_F(SignedText, AnotherKeyIsRefused) {
    std::uint8_t otherSecret[64];
    std::uint8_t otherPublic[32];
    std::uint8_t seed[32] = {9};
    crypto_eddsa_key_pair(otherSecret, otherPublic, seed);
    EXPECT_FALSE(accepts(signText(body, otherSecret)));
}

TEST_F(SignedText, Ed25519WithSha512FromTheSameSeedIsRefused) {
    ASSERT_GE(sodium_init(), 0);
    auto seed = testSeed();
    std::uint8_t edPublic[crypto_sign_PUBLICKEYBYTES];
    std::uint8_t edSecret[crypto_sign_SECRETKEYBYTES];
    ASSERT_EQ(crypto_sign_seed_keypair(edPublic, edSecret, seed.data()), 0);
    std::uint8_t signature[crypto_sign_BYTES];
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(body.data());
    ASSERT_EQ(crypto_sign_detached(signature, nullptr, bytes, body.size(), edSecret), 0);
    ASSERT_EQ(crypto_sign_verify_detached(signature, bytes, body.size(), edPublic), 0);

    const std::string text = body + "signature " + toHex(signature, 64) + "\n";
    EXPECT_NE(toHex(edPublic, 32), toHex(publicKey, 32));
    EXPECT_FALSE(accepts(text));
    std::string out;
    EXPECT_FALSE(verifySigned(text, edPublic, out));
}

TEST(KeyPair, GeneratedPairsSignAndDiffer) {
    std::uint8_t secretA[64], publicA[32], secretB[64], publicB[32];
    ASSERT_TRUE(generateKeyPair(secretA, publicA));
    ASSERT_TRUE(generateKeyPair(secretB, publicB));
    EXPECT_EQ(toHex(secretA + 32, 32), toHex(publicA, 32));
    EXPECT_NE(toHex(publicA, 32), toHex(publicB, 32));

    std::string out;
    EXPECT_TRUE(verifySigned(signText("news\n", secretA), publicA, out));
    EXPECT_FALSE(verifySigned(signText("news\n", secretA), publicB, out));
}

} // namespace
