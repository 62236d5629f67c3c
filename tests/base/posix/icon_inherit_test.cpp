// The window-icon reader hands no descriptor to a program started while it reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "../icon_files.h"

namespace qv::launcher {
namespace {

TEST(LoadIconFile, TheFileIsNotInheritedWhileItIsRead) {
    // A game started while the icon is read must not get the descriptor. It is open only inside
    // loadIconFile, so a watcher looks at this process's descriptors all the while; a file of the
    // largest size keeps it open long enough to be seen.
    IconFolder folder;
    const std::string path = folder.write(iconFile({entryFor(Bitmap{})}));
    fs::resize_file(path, 0xFFFFFF);
    const std::string target = fs::canonical(path).string();

    const auto names = [&target](int fd) {
        char link[4096];
        const std::string proc = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = readlink(proc.c_str(), link, sizeof link);
        return n > 0 && std::string(link, static_cast<std::size_t>(n)) == target;
    };
    std::atomic<bool> stop{false};
    std::atomic<int> seen{0};
    std::atomic<int> inheritable{0};
    std::thread watcher([&] {
        while (!stop) {
            for (int fd = 3; fd < 64; ++fd) {
                if (!names(fd)) continue;
                const int flags = fcntl(fd, F_GETFD);
                if (flags == -1 || !names(fd)) continue; // closed meanwhile
                ++seen;
                if ((flags & FD_CLOEXEC) == 0) ++inheritable;
            }
        }
    });
    for (int attempt = 0; attempt < 500 && seen == 0; ++attempt)
        EXPECT_EQ(loadIconFile(path.c_str()).size(), 1u);
    stop = true;
    watcher.join();
    ASSERT_GT(seen, 0) << "the reader's descriptor was never seen open";
    EXPECT_EQ(inheritable, 0);
}

} // namespace
} // namespace qv::launcher
