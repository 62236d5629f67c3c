// The PNG writer on POSIX devices: a write the device refuses at the flush fails, and the file
// being written is never handed to a started program.
#include "base/png.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "../png_pixels.h"

namespace qv::launcher {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

TEST(PngTest, AWriteThatDoesNotReachTheDeviceIsAFailure) {
    // /dev/full takes the open and the buffered write and fails only when the data is flushed.
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    PngFolder folder;
    const Bytes small(3, 0);
    EXPECT_FALSE(writePng("/dev/full", small.data(), 1, 1, 3, false));
    const Bytes large = pattern(200, 200, 4);
    EXPECT_FALSE(writePng("/dev/full", large.data(), 200, 200, 4, false));
    EXPECT_THAT(folder.log(), Not(HasSubstr("Wrote")));
}

TEST(PngTest, TheFileBeingWrittenIsNotInheritedByStartedPrograms) {
    // A game started while a screenshot is written must not get its descriptor. Written into a
    // FIFO that nobody drains yet, the writer stays inside its write, so the descriptor can be
    // looked at while it is open.
    PngFolder folder;
    const std::string path = folder.path("shot.png");
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    const fs::path target = fs::canonical(path);
    const int reader = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    const Bytes pixels = pattern(200, 200, 4); // far more than a pipe holds
    bool written = false;
    std::thread writer(
        [&] { written = writePng(path.c_str(), pixels.data(), 200, 200, 4, false); });

    int descriptor = -1;
    for (int attempt = 0; attempt < 10000 && descriptor < 0; ++attempt) {
        for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
            const int fd = std::stoi(entry.path().filename().string());
            std::error_code error;
            if (fd != reader && fs::read_symlink(entry.path(), error) == target) descriptor = fd;
        }
        if (descriptor < 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_GE(descriptor, 0) << "the writer never opened the file";
    if (descriptor >= 0) {
        EXPECT_NE(fcntl(descriptor, F_GETFD) & FD_CLOEXEC, 0);
    }

    // Drain until the writer closes its end.
    Bytes received;
    for (;;) {
        pollfd entry{reader, POLLIN, 0};
        if (poll(&entry, 1, 10000) <= 0) break;
        std::uint8_t buffer[65536];
        const ssize_t n = read(reader, buffer, sizeof buffer);
        if (n > 0) {
            received.insert(received.end(), buffer, buffer + n);
        } else if (n == 0 || errno != EAGAIN) {
            break;
        }
    }
    writer.join();
    close(reader);
    EXPECT_TRUE(written);
    const std::size_t raw = 200 * (1 + 200 * 4);
    EXPECT_EQ(received.size(), 57 + 6 + 5 * 3 + raw);
}

} // namespace
} // namespace qv::launcher
