// The updater's file writing, folder lock and random source on Windows: files by their wide
// names, in binary and not inheritable, created only where nothing stands, names with a NUL
// refused, renames and removals that wait out a scanner's short hold and tell a file in use
// from other refusals, links told by their reparse points, the host's path limits, a lock that a
// second holder cannot take, and the system's generator.
#include "base/platform.h"
#include "base/text.h"
#include "update/fs_os.h"
#include "update/random_os.h"
#include "update/updater.h"

#include "../../base/win32/file_hold.h"
#include "../../base/win32/handle_probe.h"
#include "../../support/temp_dir.h"
#include "base/win32/wide_text.h"
#include "update/win32/fs_entry_win32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <utility>
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
    std::error_code syncError;
    EXPECT_FALSE(fsSyncPath(withNul, syncError));
    EXPECT_EQ(fsOpenRead(temp.path() / L"missing"), nullptr);
    EXPECT_FALSE(fsSyncPath(temp.path() / L"missing", syncError));
    EXPECT_EQ(syncError.value(), ERROR_FILE_NOT_FOUND);
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
    EXPECT_TRUE(fsSyncPath(file, error)) << error.message();
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

TEST(FsTryLockFile, TheNameStaysWhileHeldAndAReadOnlyLockFileLocksToo) {
    test::TempDir temp("fs_win32_test-");
    const fs::path lock = temp.path() / L".lock";
    bool heldElsewhere = true;
    const std::intptr_t held = fsTryLockFile(lock, heldElsewhere);
    ASSERT_NE(held, -1);
    EXPECT_TRUE(fsLockedFileIsAtName(held, lock));
    // Another launcher clearing the name cannot take the lock from its holder.
    EXPECT_FALSE(DeleteFileW(lock.c_str()));
    EXPECT_FALSE(MoveFileExW(lock.c_str(), (temp.path() / L"moved").c_str(), 0));
    EXPECT_TRUE(fsLockedFileIsAtName(held, lock));
    fsUnlockFile(held);

    ASSERT_TRUE(SetFileAttributesW(lock.c_str(), FILE_ATTRIBUTE_READONLY));
    std::error_code refused;
    const std::intptr_t readOnly = fsTryLockFile(lock, heldElsewhere, &refused);
    EXPECT_NE(readOnly, -1) << refused.value();
    EXPECT_FALSE(heldElsewhere);
    EXPECT_EQ(fsTryLockFile(lock, heldElsewhere), -1);
    EXPECT_TRUE(heldElsewhere);
    fsUnlockFile(readOnly);
    SetFileAttributesW(lock.c_str(), FILE_ATTRIBUTE_NORMAL);

    // A handle on another file is not the one at the name.
    const std::intptr_t other = fsTryLockFile(temp.path() / L"other", heldElsewhere);
    ASSERT_NE(other, -1);
    EXPECT_FALSE(fsLockedFileIsAtName(other, lock));
    fsUnlockFile(other);
}

TEST(FsReplaceLockFile, PutsAFreshFileAtTheNameButNeverOverAHeldLock) {
    test::TempDir temp("fs_win32_test-");
    const fs::path lock = temp.path() / L".lock";
    std::ofstream(lock) << "left by another run";
    ASSERT_TRUE(SetFileAttributesW(lock.c_str(), FILE_ATTRIBUTE_READONLY));
    std::error_code error;
    EXPECT_TRUE(fsReplaceLockFile(lock, error)) << error.value();
    EXPECT_EQ(fs::file_size(lock), 0u);
    EXPECT_EQ(GetFileAttributesW(lock.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);

    // A launcher that holds the new file keeps it: the next one meets its lock, not a file of
    // its own.
    bool heldElsewhere = true;
    const std::intptr_t held = fsTryLockFile(lock, heldElsewhere);
    ASSERT_NE(held, -1);
    EXPECT_FALSE(fsReplaceLockFile(lock, error));
    EXPECT_FALSE(error) << error.value();
    EXPECT_TRUE(fsLockedFileIsAtName(held, lock));
    fsUnlockFile(held);
    std::vector<FsFolderEntry> entries;
    ASSERT_TRUE(fsListFolder(temp.path(), entries, error));
    EXPECT_EQ(entries.size(), 1u); // nothing left beside it
}

using Hold = test::FileHold;

// Each operation that changes a name, or reopens a file, meets a held file.
struct HeldCase {
    const char* name;
    const wchar_t* heldFile;
    std::function<bool(const fs::path& folder, std::error_code& error)> operation;
};

std::vector<HeldCase> heldCases() {
    return {
        {"rename over a held file", L"old.pak",
         [](const fs::path& folder, std::error_code& error) {
             return fsRename(folder / L"new.part", folder / L"old.pak", error);
         }},
        {"rename of a held file", L"new.part",
         [](const fs::path& folder, std::error_code& error) {
             return fsRename(folder / L"new.part", folder / L"old.pak", error);
         }},
        {"removal of a held file", L"old.pak",
         [](const fs::path& folder, std::error_code& error) {
             return fsRemove(folder / L"old.pak", error);
         }},
        {"sync of a held file", L"new.part",
         [](const fs::path& folder, std::error_code& error) {
             return fsSyncPath(folder / L"new.part", error);
         }},
    };
}

void writeOldAndNew(const fs::path& folder) {
    std::ofstream(folder / L"old.pak", std::ios::binary) << "old";
    std::ofstream(folder / L"new.part", std::ios::binary) << "new";
}

std::string contentOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(FsHeldFile, AShortHoldIsWaitedOut) {
    for (const HeldCase& c : heldCases()) {
        test::TempDir temp("fs_win32_test-");
        writeOldAndNew(temp.path());
        Hold hold(temp.path() / c.heldFile);
        ASSERT_TRUE(hold.held()) << c.name;
        hold.releaseSoon();
        std::error_code error;
        EXPECT_TRUE(c.operation(temp.path(), error)) << c.name << ": " << error.value();
    }
}

TEST(FsTryLockFile, WaitsOutAShortHoldOfTheLockFile) {
    test::TempDir temp("fs_win32_test-");
    const fs::path lock = temp.path() / L".lock";
    std::ofstream(lock) << "";
    Hold hold(lock);
    ASSERT_TRUE(hold.held());
    hold.releaseSoon();
    bool heldElsewhere = true;
    const std::intptr_t handle = fsTryLockFile(lock, heldElsewhere);
    EXPECT_NE(handle, -1);
    EXPECT_FALSE(heldElsewhere);
    fsUnlockFile(handle);
}

TEST(FsHeldFile, AHoldThatLastsIsReportedAsInUseAndChangesNothing) {
    for (const HeldCase& c : heldCases()) {
        test::TempDir temp("fs_win32_test-");
        writeOldAndNew(temp.path());
        Hold hold(temp.path() / c.heldFile);
        ASSERT_TRUE(hold.held()) << c.name;
        std::error_code error;
        EXPECT_FALSE(c.operation(temp.path(), error)) << c.name;
        EXPECT_TRUE(fsIsInUse(error)) << c.name << ": " << error.value();
        EXPECT_EQ(fsErrorText(error), "in use by another program") << c.name;
        hold.release();
        EXPECT_EQ(contentOf(temp.path() / L"old.pak"), "old") << c.name;
        EXPECT_EQ(contentOf(temp.path() / L"new.part"), "new") << c.name;
    }
}

TEST(FsRename, ReplacesInOneStepAReadOnlyFileToo) {
    for (const bool readOnly : {false, true}) {
        test::TempDir temp("fs_win32_test-");
        const fs::path from = temp.path() / u8"\u6587\u5b57.part";
        const fs::path to = temp.path() / u8"\u6587\u5b57";
        std::ofstream(from, std::ios::binary) << "new";
        std::ofstream(to, std::ios::binary) << "old";
        if (readOnly) {
            ASSERT_TRUE(SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_READONLY));
        }
        std::error_code error;
        ASSERT_TRUE(fsRename(from, to, error)) << readOnly << ": " << error.value();
        EXPECT_EQ(contentOf(to), "new");
        EXPECT_FALSE(fs::exists(from));
        EXPECT_EQ(GetFileAttributesW(to.c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
    // Nothing to move: the system's code, not a wait.
    test::TempDir temp("fs_win32_test-");
    std::error_code error;
    EXPECT_FALSE(fsRename(temp.path() / L"missing", temp.path() / L"to", error));
    EXPECT_EQ(error.value(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(error.category(), std::system_category());
    EXPECT_FALSE(fsIsInUse(error));
}

// Wine's Z: drive reaches the machine's own folders; /dev/shm is a file system of its own there,
// the way another drive letter is on Windows.
TEST(FsRename, AMoveToAnotherDriveIsRefusedNotCopied) {
    const fs::path otherDrive = L"Z:\\dev\\shm";
    if (!fs::is_directory(otherDrive)) GTEST_SKIP() << "no second drive on another file system";
    test::TempDir temp("fs_win32_test-");
    test::TempDir there("fs_win32_test-", otherDrive);
    std::ofstream(temp.path() / L"object", std::ios::binary) << "content";
    std::error_code error;
    EXPECT_FALSE(fsRename(temp.path() / L"object", there.path() / L"object", error));
    EXPECT_EQ(error.value(), ERROR_NOT_SAME_DEVICE);
    EXPECT_TRUE(fsIsOtherDevice(error));
    EXPECT_FALSE(fsIsInUse(error));
    EXPECT_FALSE(fs::exists(there.path() / L"object"));
    EXPECT_EQ(contentOf(temp.path() / L"object"), "content");
}

TEST(FsRemove, RemovesAReadOnlyFileAndReportsWhatStays) {
    test::TempDir temp("fs_win32_test-");
    const fs::path file = temp.path() / L"marked.pak";
    std::ofstream(file) << "x";
    ASSERT_TRUE(SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY));
    std::error_code error;
    EXPECT_TRUE(fsRemove(file, error)) << error.value();
    EXPECT_FALSE(fs::exists(file));
    EXPECT_FALSE(fsRemove(file, error)); // absent: nothing to do, no error
    EXPECT_FALSE(error);
    EXPECT_FALSE(fsRemove(temp.path() / L"missing" / L"below", error));
    EXPECT_FALSE(error);

    fs::create_directories(temp.path() / L"folder" / L"inside");
    EXPECT_FALSE(fsRemove(temp.path() / L"folder", error));
    EXPECT_EQ(error.value(), ERROR_DIR_NOT_EMPTY);
    EXPECT_FALSE(fsIsInUse(error));
    EXPECT_TRUE(fsRemove(temp.path() / L"folder" / L"inside", error));
}

TEST(FsEntryAt, TellsFilesFromFolders) {
    test::TempDir temp("fs_win32_test-");
    std::ofstream(temp.path() / L"file") << "x";
    fs::create_directory(temp.path() / L"folder");
    EXPECT_EQ(fsEntryAt(temp.path() / L"missing"), FsEntry::Absent);
    EXPECT_EQ(fsEntryAt(temp.path() / L"missing" / L"below"), FsEntry::Absent);
    EXPECT_EQ(fsEntryAt(temp.path() / L"file"), FsEntry::File);
    EXPECT_EQ(fsEntryAt(temp.path() / L"folder"), FsEntry::Folder);
}

TEST(FsEntryOfAttributes, OnlyAFolderOrANameSurrogateIsNoFile) {
    // The one decision behind fsEntryAt, the folder listing and the lock file's handle. Wine
    // cannot make a cloud provider's placeholder or an app execution alias, so those are
    // decided here from the attributes and tags Windows documents for them: OneDrive keeps a
    // file under a cloud tag even while all of it is on the disk.
    constexpr DWORD kReparse = FILE_ATTRIBUTE_REPARSE_POINT;
    const struct {
        const char* name;
        DWORD attributes;
        DWORD tag;
        FsEntry entry;
    } cases[] = {
        {"plain file", FILE_ATTRIBUTE_ARCHIVE, 0, FsEntry::File},
        {"read-only file", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE, 0, FsEntry::File},
        {"cloud file on the disk", kReparse | FILE_ATTRIBUTE_ARCHIVE, IO_REPARSE_TAG_CLOUD_6,
         FsEntry::File},
        {"cloud file, read-only", kReparse | FILE_ATTRIBUTE_READONLY, IO_REPARSE_TAG_CLOUD,
         FsEntry::File},
        {"app execution alias", kReparse, IO_REPARSE_TAG_APPEXECLINK, FsEntry::File},
        {"symbolic link", kReparse, IO_REPARSE_TAG_SYMLINK, FsEntry::Link},
        {"junction", kReparse | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_MOUNT_POINT,
         FsEntry::Link},
        {"reparse point without a tag", kReparse, 0, FsEntry::Link},
        {"folder", FILE_ATTRIBUTE_DIRECTORY, 0, FsEntry::Folder},
        {"cloud folder", kReparse | FILE_ATTRIBUTE_DIRECTORY, IO_REPARSE_TAG_CLOUD_6,
         FsEntry::Folder},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fsEntryOfAttributes(c.attributes, c.tag), c.entry);
    }
}

TEST(FsEntryAt, AFolderLinkIsALinkAndIsRemovedAlone) {
    test::TempDir temp("fs_win32_test-");
    fs::create_directory(temp.path() / L"folder");
    // Wine answers the creation of a link with success and makes none.
    const fs::path link = temp.path() / L"link";
    if (!CreateSymbolicLinkW(link.c_str(), (temp.path() / L"folder").c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY |
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
        GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << "no folder links here: wine answers their creation with success and "
                        "makes none, so only Windows shows this";
    EXPECT_EQ(fsEntryAt(link), FsEntry::Link);
    std::error_code error;
    EXPECT_TRUE(fsRemove(link, error)) << error.value();
    EXPECT_EQ(fsEntryAt(temp.path() / L"folder"), FsEntry::Folder);
}

TEST(FsErrorText, NamesTheCommonCausesAndGivesTheRestInUtf8) {
    const std::error_code denied(ERROR_ACCESS_DENIED, std::system_category());
    EXPECT_EQ(fsErrorText(denied), "access denied");
    EXPECT_FALSE(fsIsInUse(denied));
    const std::string missing =
        fsErrorText(std::error_code(ERROR_FILE_NOT_FOUND, std::system_category()));
    EXPECT_FALSE(missing.empty());
    EXPECT_NE(missing, "error 2");
    std::wstring wide;
    EXPECT_TRUE(wideFromUtf8(missing, wide)) << missing;
    EXPECT_EQ(fsErrorText(std::make_error_code(std::errc::no_such_file_or_directory)),
              std::make_error_code(std::errc::no_such_file_or_directory).message());
    // Missing paths read as on the other hosts; a message with an insert reads without it.
    EXPECT_EQ(errorReason(std::error_code(ERROR_PATH_NOT_FOUND, std::system_category())),
              "No such file or directory");
    const std::string badExe =
        errorReason(std::error_code(ERROR_BAD_EXE_FORMAT, std::system_category()));
    EXPECT_EQ(badExe.find('%'), std::string::npos) << badExe;
    // Words the launcher's font draws whatever the system's language (a Russian or Japanese
    // system words it in its own script), not the bare number.
    EXPECT_NE(badExe, "error 193");
    EXPECT_TRUE(fontDrawsAll(badExe)) << badExe;
}

TEST(WriteError, TellsTheWindowsCausesApart) {
    const struct {
        DWORD code;
        const char* text;
    } cases[] = {
        {ERROR_ACCESS_DENIED, "cannot write to C:\\l (access denied)"},
        {ERROR_SHARING_VIOLATION,
         "cannot write to C:\\l (a file there is in use by another program)"},
        {ERROR_LOCK_VIOLATION, "cannot write to C:\\l (a file there is in use by another program)"},
        {ERROR_DISK_FULL, "cannot write to C:\\l (is the disk full?)"},
        {ERROR_WRITE_PROTECT, "cannot write to C:\\l (the disk is write-protected)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            writeError(L"C:\\l", std::error_code(static_cast<int>(c.code), std::system_category())),
            c.text)
            << c.code;
}

// The system's long-path setting, set for the length of a test and then put back. Only where the
// process asks the setting itself: on Windows 10 1607 and later the system answers from what it
// read when the process started, and a test cannot change that.
class LongPathSetting {
  public:
    explicit LongPathSetting(DWORD value) {
        const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll != nullptr && GetProcAddress(ntdll, "RtlAreLongPathsEnabled") != nullptr) return;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0,
                            KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key_,
                            nullptr) != ERROR_SUCCESS) {
            key_ = nullptr;
            return;
        }
        DWORD size = sizeof old_;
        hadOld_ = RegQueryValueExW(key_, kName, nullptr, nullptr, reinterpret_cast<BYTE*>(&old_),
                                   &size) == ERROR_SUCCESS;
        set_ = RegSetValueExW(key_, kName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                              sizeof value) == ERROR_SUCCESS;
    }
    ~LongPathSetting() {
        if (key_ == nullptr) return;
        if (hadOld_) {
            RegSetValueExW(key_, kName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&old_),
                           sizeof old_);
        } else {
            RegDeleteValueW(key_, kName);
        }
        RegCloseKey(key_);
    }
    bool set() const { return set_; }

  private:
    static constexpr const wchar_t* kKey = L"SYSTEM\\CurrentControlSet\\Control\\FileSystem";
    static constexpr const wchar_t* kName = L"LongPathsEnabled";
    HKEY key_ = nullptr;
    DWORD old_ = 0;
    bool hadOld_ = false;
    bool set_ = false;
};

TEST(FsPathLimitProblem, CountsUtf16UnitsInAName) {
    // 200 CJK characters are 600 bytes of UTF-8 but 200 units, a valid name there.
    const std::wstring cjk200(200, L'\u6587');
    EXPECT_EQ(fsPathLimitProblem(fs::path(L"C:\\g\\") / cjk200), nullptr);
    EXPECT_STREQ(fsPathLimitProblem(fs::path(L"C:\\g\\") / std::wstring(256, L'\u6587')),
                 "a name in the path is too long");
}

TEST(FsPathLimitProblem, KeepsToMaxPathUnlessLongPathsAreOn) {
    const fs::path fits = fs::path(L"C:\\") / std::wstring(200, L'd') / std::wstring(50, L'f');
    const fs::path deep = fs::path(L"C:\\") / std::wstring(200, L'd') / std::wstring(100, L'f');
    // A file's name would fit, but no 8.3 name would in its folder.
    const fs::path deepFolder = fs::path(L"C:\\") / std::wstring(250, L'd') / L"f";
    fs::path beyondAll = L"C:\\";
    for (int i = 0; i < 170; ++i) // 170 names of 200 units: beyond 32767 in all
        beyondAll /= std::wstring(200, L'd');
    {
        LongPathSetting off(0);
        if (!off.set()) GTEST_SKIP() << "the long-path setting is fixed for this process";
        EXPECT_EQ(fsPathLimitProblem(fits), nullptr);
        EXPECT_STREQ(fsPathLimitProblem(deep), "the path is too long");
        EXPECT_STREQ(fsPathLimitProblem(deepFolder), "the path is too long");
    }
    LongPathSetting on(1);
    ASSERT_TRUE(on.set());
    EXPECT_EQ(fsPathLimitProblem(deep), nullptr);
    EXPECT_EQ(fsPathLimitProblem(deepFolder), nullptr);
    EXPECT_STREQ(fsPathLimitProblem(beyondAll), "the path is too long");
}

TEST(FsListFolder, ListsEmptiesAndRemovesAFolderPastMaxPath) {
    test::TempDir temp("fs_win32_test-");
    LongPathSetting on(1);
    // A folder of 280 UTF-16 units below two names; the C runtime's listing stops at MAX_PATH.
    const std::size_t base = temp.path().native().size();
    ASSERT_LT(base, 140u);
    const std::wstring outer(120, L'd');
    const std::wstring inner(280 - base - outer.size() - 2, L'\u6587');
    const fs::path deep = temp.path() / outer / inner;
    ASSERT_EQ(deep.native().size(), 280u);
    if (fsPathLimitProblem(deep / L"inside" / L"file.part") != nullptr)
        GTEST_SKIP() << "long paths are off for this process";
    std::error_code error;
    fs::create_directories(deep / L"inside", error);
    ASSERT_FALSE(error) << error.message();
    for (const fs::path& file : {deep / L"file", deep / L"inside" / L"file"}) {
        std::FILE* out = fsCreateNew(file, error);
        ASSERT_NE(out, nullptr) << error.value();
        std::fclose(out);
    }

    // As a release path joins it, with '/' between the names, and in the system's own form.
    fs::path slashed = temp.path();
    slashed += L"/" + outer + L"/" + inner;
    for (const fs::path& folder : {deep, slashed}) {
        std::vector<FsFolderEntry> entries;
        ASSERT_TRUE(fsListFolder(folder, entries, error)) << error.value();
        std::vector<std::pair<std::wstring, FsEntry>> found;
        for (const FsFolderEntry& entry : entries)
            found.emplace_back(entry.path.filename().native(), entry.kind);
        std::sort(found.begin(), found.end());
        const std::vector<std::pair<std::wstring, FsEntry>> expected = {
            {L"file", FsEntry::File}, {L"inside", FsEntry::Folder}};
        EXPECT_EQ(found, expected);
    }
    std::vector<FsFolderEntry> none;
    EXPECT_FALSE(fsListFolder(deep / L"missing", none, error));
    EXPECT_TRUE(error);

    // Without its files a tree keeps every folder that holds one; with them it goes whole.
    removeFolderTree(temp.path() / outer, false);
    EXPECT_EQ(fsEntryAt(deep / L"inside" / L"file"), FsEntry::File);
    ASSERT_TRUE(fsRemove(deep / L"inside" / L"file", error)) << error.value();
    removeFolderTree(deep / L"inside", false);
    EXPECT_EQ(fsEntryAt(deep / L"inside"), FsEntry::Absent);
    EXPECT_TRUE(fsListFolder(deep, none, error)) << error.value();
    EXPECT_EQ(none.size(), 1u);
    removeFolderTree(temp.path() / outer, true);
    EXPECT_EQ(fsEntryAt(temp.path() / outer), FsEntry::Absent);
}

// The "\\?\" form of a path: the name exactly as given, never cleaned up by the system.
fs::path exactForm(const fs::path& path) {
    return fs::path(L"\\\\?\\" + path.native());
}

TEST(FsListFolder, NamesEndingInADotOrABlankAreListedAsTheyAreAndRemovedAlone) {
    // Release paths refuse such names, but another program's files in the staging folder or in
    // a folder at the lock's name may have them, made through the "\\?\" form. The plain form
    // of "data." reaches "data", and "note " reaches nothing.
    test::TempDir temp("fs_win32_test-");
    const fs::path stage = temp.path() / L"stage";
    const fs::path beside = temp.path() / L"data";
    std::error_code error;
    for (const fs::path& folder : {stage, stage / L"sub."})
        ASSERT_TRUE(CreateDirectoryW(exactForm(folder).c_str(), nullptr)) << GetLastError();
    const std::vector<fs::path> files = {beside, stage / L"data", stage / L"data.",
                                         stage / L"note ", stage / L"sub." / L"x"};
    for (const fs::path& file : files) {
        std::FILE* out = fsCreateNew(exactForm(file), error);
        ASSERT_NE(out, nullptr) << error.value();
        std::fclose(out);
    }

    std::vector<FsFolderEntry> entries;
    ASSERT_TRUE(fsListFolder(stage, entries, error)) << error.value();
    std::vector<std::pair<std::wstring, FsEntry>> found;
    for (const FsFolderEntry& entry : entries) {
        found.emplace_back(entry.path.filename().native(), entry.kind);
        EXPECT_EQ(fsEntryAt(entry.path), entry.kind) << entry.path;
    }
    std::sort(found.begin(), found.end());
    const std::vector<std::pair<std::wstring, FsEntry>> expected = {{L"data", FsEntry::File},
                                                                    {L"data.", FsEntry::File},
                                                                    {L"note ", FsEntry::File},
                                                                    {L"sub.", FsEntry::Folder}};
    EXPECT_EQ(found, expected);

    // Without its files the tree keeps them all; with them it goes whole, and only it.
    removeFolderTree(stage, false);
    for (const fs::path& file : files)
        EXPECT_EQ(fsEntryAt(exactForm(file)), FsEntry::File) << file;
    removeFolderTree(stage, true);
    EXPECT_EQ(fsEntryAt(stage), FsEntry::Absent);
    EXPECT_EQ(fsEntryAt(beside), FsEntry::File);
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
