// Runs a check in a forked child inside a network namespace of its own, so that whatever the
// check resolves, sends or broadcasts cannot leave the machine, and fixed ports cannot meet
// those of parallel runs. Shared by the socket tests.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qv::launcher::netns {

inline void writeText(const char* path, const std::string& text) {
    if (FILE* file = std::fopen(path, "w")) {
        std::fputs(text.c_str(), file);
        std::fclose(file);
    }
}

// Moves the calling (single-threaded, forked) process into a network namespace of its own;
// without root, through a user namespace in which it is root.
inline bool enterNetworkNamespace(std::string& reason) {
    if (unshare(CLONE_NEWNET) == 0) return true;
    const int direct = errno;
    const uid_t uid = getuid();
    const gid_t gid = getgid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        reason = std::string("cannot make a network namespace: ") + std::strerror(direct);
        return false;
    }
    writeText("/proc/self/setgroups", "deny");
    writeText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1");
    writeText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1");
    return true;
}

// Runs check in a forked child inside a fresh network namespace, after the setup commands
// (iproute2) have built its interfaces; with no setup the namespace has only its loopback
// interface, and that one down. Returns false with a reason when no such network can be made;
// otherwise failure holds what the check reported, empty when it passed.
inline bool inPrivateNetwork(const std::vector<std::string>& setup,
                             const std::function<std::string()>& check, std::string& failure) {
    int channel[2];
    if (pipe2(channel, O_CLOEXEC) != 0) {
        failure = "no pipe";
        return false;
    }
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        std::string verdict;
        std::string reason;
        if (!enterNetworkNamespace(reason)) {
            verdict = "S" + reason;
        } else {
            for (const std::string& command : setup) {
                if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) {
                    verdict = "Scannot build the private network: " + command;
                    break;
                }
            }
            if (verdict.empty()) verdict = "R" + check();
        }
        (void)!write(channel[1], verdict.data(), verdict.size());
        _exit(0);
    }
    close(channel[1]);
    std::string verdict;
    char buffer[512];
    ssize_t n;
    while ((n = read(channel[0], buffer, sizeof buffer)) > 0)
        verdict.append(buffer, static_cast<std::size_t>(n));
    close(channel[0]);
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    if (child < 0 || verdict.empty()) {
        failure = "the isolated check did not report";
        return true;
    }
    failure = verdict.substr(1);
    return verdict[0] == 'R';
}

} // namespace qv::launcher::netns
