// The POSIX side of the updater's file opening: what it opens stays out of started processes.
#include "update/fs_os.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "../../support/temp_dir.h"

using namespace qv::launcher;

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
