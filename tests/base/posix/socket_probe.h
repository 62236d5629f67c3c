// Small probes the socket tests share: elapsed time, the port a socket got, and how many file
// descriptors the process holds (a leaked socket shows as one more).
#pragma once

#include "base/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace qv::launcher::test {

using Clock = std::chrono::steady_clock;

inline long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// The local port of a bound or connected socket; 0 when it has none.
inline std::uint16_t localPort(SOCKET socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

inline std::size_t openDescriptors() {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++count;
    }
    return count;
}

} // namespace qv::launcher::test
