// The POSIX side of the updater's file operations: what it opens stays out of started
// processes, names are told apart without following links, renames and removals change one
// name in one step, and paths are held against the system's limits.
#include "update/fs_os.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "../../support/file_bytes.h"
#include "../../support/setup_skip.h"
#include "../../support/temp_dir.h"

using namespace qv::launcher;
namespace fs = std::filesystem;

TEST(FsOpen, OpenedFilesAreNotInheritedByAStartedProcess) {
    // The worker hashes and writes while the main thread may start the game.
    test::TempDir dir;
    const auto path = dir.path() / "held";
    std::ofstream(path) << "abc";
    std::error_code error;
    for (std::FILE* file : {fsOpenRead(path), fsCreateNew(dir.path() / "written", error)}) {
        ASSERT_NE(file, nullptr);
        EXPECT_NE(fcntl(fileno(file), F_GETFD) & FD_CLOEXEC, 0);
        std::fclose(file);
    }
}

TEST(FsEntryAt, TellsLinksFromWhatTheyPointTo) {
    test::TempDir dir;
    const fs::path file = dir.path() / "file";
    const fs::path folder = dir.path() / "folder";
    test::writeBytes(file, "x");
    fs::create_directory(folder);
    fs::create_symlink(file, dir.path() / "to-file");
    fs::create_directory_symlink(folder, dir.path() / "to-folder");
    fs::create_symlink(dir.path() / "nothing", dir.path() / "dangling");
    const struct {
        const char* name;
        FsEntry entry;
    } cases[] = {{"absent", FsEntry::Absent},    {"file", FsEntry::File},
                 {"folder", FsEntry::Folder},    {"to-file", FsEntry::Link},
                 {"to-folder", FsEntry::Link},   {"dangling", FsEntry::Link},
                 {"file/below", FsEntry::Absent}};
    for (const auto& c : cases)
        EXPECT_EQ(fsEntryAt(dir.path() / c.name), c.entry) << c.name;
}

TEST(FsListFolder, NamesWhatStandsInAFolderAsFsEntryAtTellsIt) {
    test::TempDir dir;
    const fs::path folder = dir.path() / "folder";
    fs::create_directories(folder / "inner");
    test::writeBytes(folder / "file", "x");
    test::writeBytes(folder / "inner" / "deeper", "y");
    fs::create_directory_symlink(folder / "inner", folder / "to-inner");
    fs::create_symlink(dir.path() / "nothing", folder / "dangling");

    std::vector<FsFolderEntry> entries;
    std::error_code error;
    ASSERT_TRUE(fsListFolder(folder, entries, error)) << error.message();
    std::map<std::string, FsEntry> found;
    for (const FsFolderEntry& entry : entries) {
        EXPECT_EQ(entry.path.parent_path(), folder);
        found[entry.path.filename().string()] = entry.kind;
    }
    const std::map<std::string, FsEntry> expected = {{"file", FsEntry::File},
                                                     {"inner", FsEntry::Folder},
                                                     {"to-inner", FsEntry::Link},
                                                     {"dangling", FsEntry::Link}};
    EXPECT_EQ(found, expected);

    entries.clear();
    EXPECT_TRUE(fsListFolder(folder / "inner" / "deeper", entries, error) == false && error);
    EXPECT_FALSE(fsListFolder(dir.path() / "absent", entries, error));
    EXPECT_TRUE(error);
    fs::create_directory(dir.path() / "empty");
    EXPECT_TRUE(fsListFolder(dir.path() / "empty", entries, error));
    EXPECT_FALSE(error);
    EXPECT_TRUE(entries.empty());
}

TEST(FsRenameAndRemove, ChangeOneNameAndLeaveWhatALinkPointsTo) {
    test::TempDir dir;
    const fs::path from = dir.path() / "new";
    const fs::path to = dir.path() / "old";
    test::writeBytes(from, "new content");
    test::writeBytes(to, "old content");
    std::error_code error;
    ASSERT_TRUE(fsRename(from, to, error)) << error.message();
    EXPECT_EQ(test::readBytes(to), "new content");
    EXPECT_FALSE(fs::exists(from));

    // A failed rename changes neither name.
    EXPECT_FALSE(fsRename(from, to, error));
    EXPECT_EQ(error, std::errc::no_such_file_or_directory);
    EXPECT_EQ(test::readBytes(to), "new content");

    const fs::path target = dir.path() / "target";
    test::writeBytes(target / "kept", "the player's");
    fs::create_directory_symlink(target, dir.path() / "link");
    EXPECT_TRUE(fsRemove(dir.path() / "link", error));
    EXPECT_EQ(test::readBytes(target / "kept"), "the player's");
    EXPECT_FALSE(fsRemove(dir.path() / "link", error)); // absent: nothing to do, no error
    EXPECT_FALSE(error);
    EXPECT_FALSE(fsRemove(target, error)); // a folder that still holds something stays
    EXPECT_EQ(error, std::errc::directory_not_empty);
}

TEST(FsRename, AMoveToAnotherFileSystemIsRefusedNotCopied) {
    test::TempDir here;
    test::TempDir there("corvanthe-test-", "/dev/shm");
    struct stat hereStat {};
    struct stat thereStat {};
    ASSERT_EQ(stat(here.path().c_str(), &hereStat), 0);
    ASSERT_EQ(stat(there.path().c_str(), &thereStat), 0);
    if (hereStat.st_dev == thereStat.st_dev)
        SKIP_WITHOUT_SETUP("/dev/shm is not a file system of its own");

    test::writeBytes(here.path() / "object", "content");
    std::error_code error;
    EXPECT_FALSE(fsRename(here.path() / "object", there.path() / "object", error));
    EXPECT_TRUE(fsIsOtherDevice(error)) << error.message();
    EXPECT_FALSE(fsIsInUse(error));
    EXPECT_FALSE(fs::exists(there.path() / "object"));
    EXPECT_EQ(test::readBytes(here.path() / "object"), "content");
    EXPECT_FALSE(fsIsOtherDevice(std::make_error_code(std::errc::permission_denied)));
}

// count names of length characters each, below the root.
std::string deepPath(int count, std::size_t length) {
    std::string path;
    for (int i = 0; i < count; ++i)
        path += "/" + std::string(length, 'd');
    return path;
}

TEST(FsPathLimitProblem, HoldsTheWholePathAndEachNameToTheSystemsLimits) {
    const std::string name255(NAME_MAX, 'n');
    const struct {
        std::string path;
        const char* problem;
    } cases[] = {
        {"/home/player/game/data/level.pak", nullptr},
        {"/home/" + name255 + "/x", nullptr},
        {"/home/" + name255 + "n/x", "a name in the path is too long"},
        {deepPath(PATH_MAX / 256 - 1, 255), nullptr},            // 15 names: 3840 bytes
        {deepPath(PATH_MAX / 256, 255), "the path is too long"}, // 4096 bytes: no room for the NUL
    };
    for (const auto& c : cases) {
        const char* problem = fsPathLimitProblem(c.path);
        EXPECT_STREQ(problem, c.problem) << c.path.size();
    }
}
