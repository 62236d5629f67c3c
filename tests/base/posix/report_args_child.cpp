// Started by the platform tests: writes what it received from its parent into the file
// "report" in its current folder (first as "report.part", then renamed, so the test never
// reads half a report). Texts are hex-encoded so blanks, tabs, newlines and any byte survive.
//
// Lines: "arg <hex>" per argv entry (argv[0] first), "cwd <hex>", "pid N", "pgid N",
// "fd N" per open descriptor, "self <hex>" for selfPath(), "sigpipe ignored" or "sigpipe default".
// With CORVANTHE_CHILD_RENAME_SELF set, it first moves its own executable to its path plus that
// suffix, as a self-update does, and reports selfPath() after the move.
#include "base/platform.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::string hex(const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : text) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    // Descriptors first, before this program opens anything of its own.
    std::vector<int> open;
    for (int fd = 0; fd < 1024; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) open.push_back(fd);
    }

    std::string report;
    for (int i = 0; i < argc; ++i)
        report += "arg " + hex(argv[i]) + "\n";
    std::vector<char> cwd(8192);
    if (getcwd(cwd.data(), cwd.size()) == nullptr) return 2;
    report += "cwd " + hex(cwd.data()) + "\n";
    report += "pid " + std::to_string(getpid()) + "\n";
    report += "pgid " + std::to_string(getpgrp()) + "\n";
    for (const int fd : open)
        report += "fd " + std::to_string(fd) + "\n";

    std::filesystem::path self = qv::launcher::selfPath();
    if (const char* suffix = std::getenv("CORVANTHE_CHILD_RENAME_SELF")) {
        std::filesystem::path moved = self;
        moved += suffix;
        std::filesystem::rename(self, moved);
        self = qv::launcher::selfPath();
    }
    report += "self " + hex(self.string()) + "\n";
    struct sigaction pipe {};
    sigaction(SIGPIPE, nullptr, &pipe);
    report += pipe.sa_handler == SIG_IGN ? "sigpipe ignored\n" : "sigpipe default\n";

    std::FILE* file = std::fopen("report.part", "wb");
    if (file == nullptr) return 3;
    const bool written = std::fwrite(report.data(), 1, report.size(), file) == report.size();
    if (std::fclose(file) != 0 || !written) return 4;
    return std::rename("report.part", "report") == 0 ? 0 : 5;
}
