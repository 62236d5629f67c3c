// An exFAT file system in an image file, mounted through FUSE (exfat-fuse) while the object
// lives: a disk that ignores letter case, as a player's USB disk does, and that gives each
// spelling of one name an inode number of its own.
#pragma once

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "release_fixture.h"

namespace qv::launcher::test {

class ExfatDisk {
  public:
    // Made under the folder; problem() says what this machine lacks when it cannot be.
    explicit ExfatDisk(const fs::path& folder) : at_(folder / "exfat") {
        const fs::path image = folder / "exfat.img";
        const fs::path out = folder / "exfat.out";
        if (geteuid() != 0 || !fs::exists("/dev/fuse")) {
            problem_ = "an exFAT image through FUSE needs root and /dev/fuse";
            return;
        }
        if (!fs::exists(onPath("mkfs.exfat")) || !fs::exists(onPath("mount.exfat-fuse"))) {
            problem_ = "no mkfs.exfat or mount.exfat-fuse (exfatprogs, exfat-fuse)";
            return;
        }
        fs::create_directories(at_);
        std::ofstream(image).close();
        fs::resize_file(image, 64 << 20);
        if (runProgram({onPath("mkfs.exfat"), image.string()}, out) != 0 ||
            runProgram(
                {onPath("mount"), "-t", "exfat-fuse", "-o", "loop", image.string(), at_.string()},
                out) != 0) {
            problem_ = "an exFAT image could not be made or mounted: " + readBytes(out);
            return;
        }
        mounted_ = true;
    }
    ~ExfatDisk() {
        if (!mounted_) return;
        // The loop device goes with the unmount.
        for (int attempt = 0; attempt < 600; ++attempt) {
            if (runProgram({onPath("umount"), at_.string()}, "/dev/null") == 0) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        runProgram({onPath("umount"), "--lazy", at_.string()}, "/dev/null");
    }
    ExfatDisk(const ExfatDisk&) = delete;
    ExfatDisk& operator=(const ExfatDisk&) = delete;

    const std::string& problem() const { return problem_; }
    const fs::path& root() const { return at_; }

  private:
    fs::path at_;
    std::string problem_;
    bool mounted_ = false;
};

} // namespace qv::launcher::test
