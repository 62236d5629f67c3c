// The updater's file writing, folder lock and random source on Windows: files by their wide
// names, in binary and not inheritable, created only where nothing stands, names with a NUL
// refused, a lock that a second holder cannot take, and the system's generator.
#include "base/platform.h"
#include "update/fs_os.h"
#include "update/random_os.h"

#include "../../base/win32/handle_probe.h"
#include "../../support/temp_dir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace qv::launcher;

TEST(FsOpen, WritesAndReadsBytesUnchangedByWideName) {
    test::TempDir temp("fs_win32_test-");
    const fs::path file = temp.path() / u8"\u6587\u5b57 \u00fc.part";
    const std::string bytes("line\nnext\r\n\x1a\0end", 17);

    std::error_code error;
    std::FILE* out = fsCreateNew(file, error);
    ASSERT_NE(out, nullptr) << error.message();
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

    // Never over something that is there already, file or folder.
    fs::create_directory(temp.path() / L"folder");
    for (const fs::path& taken : {file, temp.path() / L"folder"}) {
        error.clear();
        EXPECT_EQ(fsCreateNew(taken, error), nullptr);
        EXPECT_TRUE(error) << toUtf8(taken);
    }
    EXPECT_EQ(fs::file_size(file), bytes.size());
}

TEST(FsOpen, ANameWithANulOpensNothing) {
    test::TempDir temp("fs_win32_test-");
    std::wstring name = (temp.path() / L"short").native();
    fs::path withNul = name + std::wstring(L"\0tail", 5);
    std::error_code error;
    EXPECT_EQ(fsCreateNew(withNul, error), nullptr);
    EXPECT_EQ(error, std::errc::invalid_argument);
    EXPECT_EQ(fsOpenRead(withNul), nullptr);
    EXPECT_FALSE(fs::exists(name));
    EXPECT_FALSE(fsSyncPath(withNul));
    EXPECT_EQ(fsOpenRead(temp.path() / L"missing"), nullptr);
    EXPECT_FALSE(fsSyncPath(temp.path() / L"missing"));
    // A folder that is not there is no failure to report.
    fsSyncFolder(temp.path() / L"missing");
}

// A file written, closed and later made durable by its name, as the downloads of an install are.
TEST(FsSyncPath, AClosedFileIsFlushedByItsName) {
    test::TempDir temp("fs_win32_test-");
    const fs::path file = temp.path() / u8"staged \u00fc";
    std::error_code error;
    std::FILE* out = fsCreateNew(file, error);
    ASSERT_NE(out, nullptr) << error.message();
    ASSERT_EQ(std::fputs("content", out), 0);
    fsStartWriteback(out);
    std::fclose(out);
    EXPECT_TRUE(fsSyncPath(file));
    EXPECT_EQ(fs::file_size(file), 7u);
}

TEST(FsTryLockFile, ASecondHolderIsRefusedUntilTheFirstLetsGo) {
    test::TempDir temp("fs_win32_test-");
    const fs::path lock = temp.path() / L"run.lock";
    bool heldElsewhere = true;
    const std::intptr_t first = fsTryLockFile(lock, heldElsewhere);
    ASSERT_NE(first, -1);
    EXPECT_FALSE(heldElsewhere);
    EXPECT_FALSE(test::inheritable(reinterpret_cast<HANDLE>(first)));

    EXPECT_EQ(fsTryLockFile(lock, heldElsewhere), -1);
    EXPECT_TRUE(heldElsewhere);

    fsUnlockFile(first);
    const std::intptr_t again = fsTryLockFile(lock, heldElsewhere);
    EXPECT_NE(again, -1);
    EXPECT_FALSE(heldElsewhere);
    fsUnlockFile(again);
    fsUnlockFile(-1);

    // A lock file that cannot be made is not one held by someone else.
    EXPECT_EQ(fsTryLockFile(temp.path() / L"missing" / L"run.lock", heldElsewhere), -1);
    EXPECT_FALSE(heldElsewhere);
}

TEST(FsIsInUse, AFileAnotherProgramHoldsIsInUseAndAMissingOneIsNot) {
    test::TempDir temp("fs_win32_test-");
    const fs::path held = temp.path() / L"held.pak";
    const fs::path fresh = temp.path() / L"fresh.pak";
    std::ofstream(held) << "old";
    std::ofstream(fresh) << "new";
    // Opened the way a game opens its data: no sharing at all.
    const HANDLE handle = CreateFileW(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    std::error_code error;
    fs::rename(fresh, held, error);
    CloseHandle(handle);
    ASSERT_TRUE(error);
    EXPECT_TRUE(fsIsInUse(error)) << error.category().name() << " " << error.value();

    fs::rename(temp.path() / L"missing.pak", held, error);
    ASSERT_TRUE(error);
    EXPECT_FALSE(fsIsInUse(error));
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
