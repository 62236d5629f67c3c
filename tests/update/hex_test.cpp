#include "update/hex.h"

#include "base/platform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "../support/temp_dir.h"

using namespace qv::launcher;
namespace fs = std::filesystem;

namespace {

// BLAKE2b-256 of zero bytes.
const std::string kEmptyHash = "0e5751c026e543b2e8ab2eb06099daa1d1e5df47778f7787faab45cdf12fe3a8";

std::string hashOf(const std::string& bytes) {
    return hashHex(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

} // namespace

TEST(Hex, FromHexNeedsExactlyTwoDigitsPerByte) {
    struct Case {
        std::string text;
        std::size_t n;
        bool ok;
        std::vector<std::uint8_t> bytes;
    };
    const std::string digits64 = std::string(62, '0') + "7f";
    const Case cases[] = {
        {"00ab", 2, true, {0x00, 0xab}},
        {"00AB", 2, true, {0x00, 0xab}},
        {"aBcD", 2, true, {0xab, 0xcd}},
        {"", 0, true, {}},
        {digits64, 32, true, {}},
        {digits64.substr(1), 32, false, {}},
        {digits64 + "0", 32, false, {}},
        {digits64.substr(2) + "\n", 32, false, {}},
        {"0x" + digits64.substr(2), 32, false, {}},
        {"0g", 1, false, {}},
        {"0 ", 1, false, {}},
        {" 0", 1, false, {}},
        {std::string("0\0", 2), 1, false, {}},
        {"-1", 1, false, {}},
        {"0", 0, false, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("\"" + c.text + "\" n=" + std::to_string(c.n));
        std::vector<std::uint8_t> out(c.n);
        EXPECT_EQ(fromHex(c.text, out.data(), c.n), c.ok);
        if (c.ok && !c.bytes.empty()) {
            EXPECT_EQ(out, c.bytes);
        }
    }
    std::uint8_t key[32];
    ASSERT_TRUE(fromHex(digits64, key, 32));
    EXPECT_EQ(key[31], 0x7f);
}

TEST(Hex, DecodeLooksOnlyAtTheFirstDigits) {
    std::uint8_t out[2];
    EXPECT_TRUE(decodeHexDigits("12fEzz!", out, 2));
    EXPECT_EQ(out[0], 0x12);
    EXPECT_EQ(out[1], 0xfe);
    EXPECT_FALSE(decodeHexDigits("1z", out, 1));
    EXPECT_TRUE(decodeHexDigits("", out, 0));
}

TEST(Hex, ToHexWritesLowerCaseHighNibbleFirst) {
    const std::uint8_t bytes[] = {0x00, 0xab, 0x0f, 0xf0};
    EXPECT_EQ(toHex(bytes, 2), "00ab");
    EXPECT_EQ(toHex(bytes, 4), "00ab0ff0");
    EXPECT_EQ(toHex(bytes, 0), "");
}

TEST(Hex, HashHexAndHasherAgree) {
    EXPECT_EQ(hashHex(nullptr, 0), kEmptyHash);
    std::string text(200000, '\0');
    std::mt19937 random(7);
    for (char& c : text)
        c = static_cast<char>(random());
    const std::string whole = hashOf(text);
    ASSERT_EQ(whole.size(), 64u);

    Hasher hasher;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t offset = 0, step = 1; offset < text.size(); offset += step, step *= 3)
        hasher.update(bytes + offset, std::min(step, text.size() - offset));
    EXPECT_EQ(hasher.finishHex(), whole);
    EXPECT_NE(hashOf(text.substr(1)), whole);

    Hasher empty;
    EXPECT_EQ(empty.finishHex(), kEmptyHash);
}

class HashFile : public ::testing::Test {
  protected:
    std::string write(const std::string& name, const std::string& bytes) {
        const fs::path path = dir / fs::path(std::u8string(name.begin(), name.end()));
        std::ofstream(path, std::ios::binary) << bytes;
        return utf8(path);
    }

    static std::string utf8(const fs::path& path) {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    }

    test::TempDir tmp{"corvanthe-hex-"};
    const fs::path& dir = tmp.path();
};

TEST_F(HashFile, EqualsHashHexOverTheWholeContents) {
    // Sizes around the 65,536-byte read: one short read, exactly one piece,
    // a piece and one byte, several pieces and a tail.
    for (std::size_t size : {1u, 65535u, 65536u, 65537u, 3u * 65536u + 17u}) {
        SCOPED_TRACE(size);
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<char>(i * 7 + 3);
        // Line feeds and carriage returns come back unchanged: no text mode.
        bytes[0] = '\r';
        if (size > 1) bytes[1] = '\n';
        EXPECT_EQ(hashFile(write("data.bin", bytes)), hashOf(bytes));
    }
}

TEST_F(HashFile, EmptyFileHasTheHashOfZeroBytes) {
    EXPECT_EQ(hashFile(write("empty", "")), kEmptyHash);
}

TEST_F(HashFile, UnicodeNameIsHashedLikeAnyOther) {
    EXPECT_EQ(hashFile(write("Spielstände ✓ データ.pak", "abc")), hashOf("abc"));
}

TEST_F(HashFile, WhatCannotBeOpenedOrReadGivesNoHash) {
    const std::string real = write("real", "abc");
    EXPECT_EQ(hashFile(utf8(dir / "missing")), "");
    EXPECT_EQ(hashFile(""), "");
    // A folder opens on POSIX but every read fails.
    EXPECT_EQ(hashFile(utf8(dir)), "");
    // A NUL cuts no name short: this must not hash "real".
    EXPECT_EQ(hashFile(real + std::string("\0.bak", 5)), "");
}
