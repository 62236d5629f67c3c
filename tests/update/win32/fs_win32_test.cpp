// The updater's file writing and random source on Windows: files by their wide names, in binary
// and not inheritable, names with a NUL refused, and the system's generator.
#include "update/fs_os.h"
#include "update/random_os.h"

#include "../../base/win32/handle_probe.h"
#include "../../support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::launcher;

TEST(FsOpen, WritesAndReadsBytesUnchangedByWideName) {
    test::TempDir temp("fs_win32_test-");
    const fs::path file = temp.path() / u8"\u6587\u5b57 \u00fc.part";
    const std::string bytes("line\nnext\r\n\x1a\0end", 17);

    std::FILE* out = fsOpenWrite(file);
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(test::inheritable(out));
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
    ASSERT_EQ(std::fflush(out), 0);
    EXPECT_TRUE(fsSyncFile(out));
    std::fclose(out);
    fsSyncFolder(temp.path());
    EXPECT_EQ(fs::file_size(file), bytes.size());

    std::FILE* in = fsOpenRead(file);
    ASSERT_NE(in, nullptr);
    EXPECT_FALSE(test::inheritable(in));
    std::string back(64, '\0');
    back.resize(std::fread(back.data(), 1, back.size(), in));
    std::fclose(in);
    EXPECT_EQ(back, bytes);

    // Truncated when written again.
    out = fsOpenWrite(file);
    ASSERT_NE(out, nullptr);
    std::fclose(out);
    EXPECT_EQ(fs::file_size(file), 0u);
}

TEST(FsOpen, ANameWithANulOpensNothing) {
    test::TempDir temp("fs_win32_test-");
    std::wstring name = (temp.path() / L"short").native();
    fs::path withNul = name + std::wstring(L"\0tail", 5);
    EXPECT_EQ(fsOpenWrite(withNul), nullptr);
    EXPECT_EQ(fsOpenRead(withNul), nullptr);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_EQ(fsOpenRead(temp.path() / L"missing"), nullptr);
    // A folder that is not there is no failure to report.
    fsSyncFolder(temp.path() / L"missing");
}

TEST(ReadSecureRandom, FillsEveryByteFromTheSystemsGenerator) {
    std::vector<std::uint8_t> first(4096, 0);
    std::vector<std::uint8_t> second(4096, 0);
    ASSERT_TRUE(readSecureRandom(first.data(), first.size()));
    ASSERT_TRUE(readSecureRandom(second.data(), second.size()));
    EXPECT_NE(first, second);
    // Every byte value turns up in 4096 random bytes, all but certainly; a buffer left partly
    // unfilled would show a heap of zeros instead.
    EXPECT_LT(std::count(first.begin(), first.end(), 0), 64);
    EXPECT_TRUE(readSecureRandom(nullptr, 0));
}
