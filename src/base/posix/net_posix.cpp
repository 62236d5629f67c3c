// The POSIX side of the sockets: BSD sockets, poll, getaddrinfo and
// getifaddrs. Every descriptor is non-blocking and close-on-exec from the
// moment it exists, so a game started meanwhile inherits none of them.
#include "base/net_os.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qv::launcher {

namespace {

sockaddr_in ipv4Endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

bool setIntOption(int fd, int level, int name) {
    const int one = 1;
    return setsockopt(fd, level, name, &one, sizeof one) == 0;
}

} // namespace

int netOsStartup() {
    // Nothing to start; sends use MSG_NOSIGNAL, so SIGPIPE needs no handler.
    return 0;
}

int netLastError() {
    return errno;
}

bool netIsWouldBlock(int code) {
    return code == EAGAIN || code == EWOULDBLOCK;
}

bool netIsInterrupted(int code) {
    return code == EINTR;
}

bool netIsConnectPending(int code) {
    // An interrupted non-blocking connect carries on in the background, just
    // as one that reported EINPROGRESS.
    return code == EINPROGRESS || code == EINTR;
}

bool netSystemMessage(int code, std::string& text) {
    // Unlike strerror, this gives no made-up "Unknown error" text, and it is
    // safe to call from any thread.
    const char* message = strerrordesc_np(code);
    if (message == nullptr) return false;
    text = message;
    return true;
}

bool netReasonText(int code, std::string& text) {
    // The C library's descriptions are never translated.
    return netSystemMessage(code, text);
}

bool netResolveIpv4(const std::string& host, std::uint32_t& address) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &list) != 0) return false;
    bool found = false;
    if (list != nullptr && list->ai_addr != nullptr && list->ai_family == AF_INET &&
        list->ai_addrlen >= sizeof(sockaddr_in)) {
        sockaddr_in endpoint;
        std::memcpy(&endpoint, list->ai_addr, sizeof endpoint);
        address = endpoint.sin_addr.s_addr;
        found = true;
    }
    freeaddrinfo(list);
    return found;
}

SOCKET netOpenTcp() {
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

SOCKET netOpenUdp() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

void netClose(SOCKET socket) {
    close(socket);
}

bool netSetNoDelay(SOCKET socket) {
    return setIntOption(socket, IPPROTO_TCP, TCP_NODELAY);
}

bool netSetReuseAddress(SOCKET socket) {
    return setIntOption(socket, SOL_SOCKET, SO_REUSEADDR);
}

bool netSetBroadcast(SOCKET socket) {
    return setIntOption(socket, SOL_SOCKET, SO_BROADCAST);
}

int netPendingError(SOCKET socket) {
    int pending = 0;
    socklen_t length = sizeof pending;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &pending, &length) != 0) return errno;
    return pending;
}

int netConnect(SOCKET socket, std::uint32_t address, std::uint16_t port) {
    const sockaddr_in endpoint = ipv4Endpoint(address, port);
    return connect(socket, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
}

int netBindAny(SOCKET socket, std::uint16_t port) {
    const sockaddr_in endpoint = ipv4Endpoint(htonl(INADDR_ANY), port);
    return bind(socket, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
}

int netListen(SOCKET socket, int backlog) {
    return listen(socket, backlog);
}

SOCKET netAccept(SOCKET listener, std::uint32_t* peer) {
    sockaddr_in endpoint{};
    socklen_t length = sizeof endpoint;
    const int fd = accept4(listener, reinterpret_cast<sockaddr*>(&endpoint), &length,
                           SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return INVALID_SOCKET;
    if (peer != nullptr) *peer = endpoint.sin_addr.s_addr;
    return fd;
}

int netPollWritable(SOCKET socket, int timeoutMs) {
    // A signal must not end the wait early or turn into a failed connect:
    // poll again for what is left of the time.
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int left = timeoutMs;
    for (;;) {
        pollfd entry{socket, POLLOUT, 0};
        const int result = poll(&entry, 1, left);
        if (result >= 0 || errno != EINTR) return result;
        if (timeoutMs < 0) continue;
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        left = remaining > 0 ? static_cast<int>(remaining) : 0;
    }
}

void netPollReadable(const std::vector<SOCKET>& sockets, int timeoutMs) {
    std::vector<pollfd> entries;
    entries.reserve(sockets.size());
    for (SOCKET socket : sockets)
        entries.push_back(pollfd{socket, POLLIN, 0});
    // The caller reads again afterwards whatever happened; the wait only
    // bounds how long it sleeps.
    (void)poll(entries.data(), entries.size(), timeoutMs);
}

long netSend(SOCKET socket, const std::uint8_t* data, std::size_t length) {
    return static_cast<long>(send(socket, data, length, MSG_NOSIGNAL));
}

long netReceive(SOCKET socket, std::uint8_t* buffer, std::size_t length) {
    return static_cast<long>(recv(socket, buffer, length, 0));
}

long netSendTo(SOCKET socket, const std::uint8_t* data, std::size_t length, std::uint32_t address,
               std::uint16_t port) {
    const sockaddr_in endpoint = ipv4Endpoint(address, port);
    return static_cast<long>(sendto(socket, data, length, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint));
}

long netReceiveFrom(SOCKET socket, std::uint8_t* buffer, std::size_t length, std::uint32_t& from) {
    sockaddr_in endpoint{};
    socklen_t endpointLength = sizeof endpoint;
    // MSG_TRUNC makes the call report the datagram's real length, so one that
    // did not fit is dropped rather than handed on cut short.
    const ssize_t n = recvfrom(socket, buffer, length, MSG_TRUNC,
                               reinterpret_cast<sockaddr*>(&endpoint), &endpointLength);
    if (n < 0) return -1;
    if (static_cast<std::size_t>(n) > length) {
        errno = EMSGSIZE;
        return -1;
    }
    if (endpoint.sin_family != AF_INET || endpointLength < sizeof endpoint) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    from = endpoint.sin_addr.s_addr;
    return static_cast<long>(n);
}

std::string netDottedAddress(std::uint32_t address) {
    in_addr raw{};
    raw.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) return std::string();
    return text;
}

bool netListInterfaces(std::vector<NetInterface>& list, std::size_t maxEntries) {
    ifaddrs* all = nullptr;
    if (getifaddrs(&all) != 0) return false;
    list.clear();
    // The list holds IPv4 addresses only, as one entry per address: the
    // link-layer and IPv6 entries that getifaddrs adds do not use up room.
    for (const ifaddrs* entry = all; entry != nullptr && list.size() < maxEntries;
         entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_netmask == nullptr ||
            entry->ifa_addr->sa_family != AF_INET)
            continue;
        sockaddr_in address;
        sockaddr_in netmask;
        std::memcpy(&address, entry->ifa_addr, sizeof address);
        std::memcpy(&netmask, entry->ifa_netmask, sizeof netmask);
        NetInterface item;
        item.up = (entry->ifa_flags & IFF_UP) != 0;
        item.broadcast = (entry->ifa_flags & IFF_BROADCAST) != 0;
        item.loopback = (entry->ifa_flags & IFF_LOOPBACK) != 0;
        item.ipv4 = true;
        item.address = address.sin_addr.s_addr;
        item.netmask = netmask.sin_addr.s_addr;
        list.push_back(item);
    }
    freeifaddrs(all);
    return true;
}

} // namespace qv::launcher
