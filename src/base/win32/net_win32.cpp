// The Win32 side of the sockets: Winsock 2, select and WSAPoll, getaddrinfo and the interface list
// of SIO_GET_INTERFACE_LIST. Every socket is non-blocking and not inheritable from the moment it is
// handed out, so a game started meanwhile receives none of them.
#include <winsock2.h>
#include <ws2tcpip.h>
#undef INVALID_SOCKET

#include "base/net_os.h"
#include "base/win32/wide_text.h"

#include <climits>
#include <utility>

namespace qv::launcher {

namespace {

sockaddr_in ipv4Endpoint(std::uint32_t address, std::uint16_t port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_addr.s_addr = address;
    endpoint.sin_port = htons(port);
    return endpoint;
}

// Winsock counts bytes in an int; a longer buffer is handed over in part, as a short send or
// read that the callers already handle.
int byteCount(std::size_t length) {
    return length > INT_MAX ? INT_MAX : static_cast<int>(length);
}

bool setIntOption(SOCKET socket, int level, int name) {
    const int one = 1;
    return setsockopt(socket, level, name, reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool setNonBlocking(SOCKET socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

SOCKET openSocket(int type) {
    // WSA_FLAG_NO_HANDLE_INHERIT makes the handle non-inheritable as it is created, so there is
    // no moment in which a process started by another thread could receive it.
    const SOCKET socket =
        WSASocketW(AF_INET, type, 0, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    if (!setNonBlocking(socket)) {
        const int code = WSAGetLastError();
        closesocket(socket);
        WSASetLastError(code);
        return INVALID_SOCKET;
    }
    return socket;
}

} // namespace

int netOsStartup() {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
}

int netLastError() {
    return WSAGetLastError();
}

bool netIsWouldBlock(int code) {
    return code == WSAEWOULDBLOCK;
}

bool netIsInterrupted(int code) {
    return code == WSAEINTR;
}

bool netIsConnectPending(int code) {
    // A non-blocking connect under way reports WSAEWOULDBLOCK. WSAEINPROGRESS means something
    // else here: another blocking call was running and this connect was never started.
    return code == WSAEWOULDBLOCK;
}

bool netSystemMessage(int code, std::string& text) {
    // Asked in UTF-16 and turned into UTF-8, so a localized system's text arrives whole.
    std::string message = systemMessageUtf8(static_cast<unsigned long>(code));
    if (message.empty()) return false;
    text = std::move(message);
    return true;
}

bool netReasonText(int code, std::string& text) {
    // A localized system words these in a script the launcher's font may not draw; the causes a
    // player meets most read as the C library's words on the other hosts.
    switch (code) {
    case WSAECONNREFUSED:
        text = "Connection refused";
        return true;
    case WSAETIMEDOUT:
        text = "Connection timed out";
        return true;
    case WSAECONNRESET:
        text = "Connection reset by peer";
        return true;
    case WSAECONNABORTED:
        text = "Software caused connection abort";
        return true;
    case WSAENETUNREACH:
        text = "Network is unreachable";
        return true;
    case WSAEHOSTUNREACH:
        text = "No route to host";
        return true;
    case WSAENETDOWN:
        text = "Network is down";
        return true;
    case WSAEHOSTDOWN:
        text = "Host is down";
        return true;
    case WSAENETRESET:
        text = "Network dropped connection on reset";
        return true;
    case WSAEADDRINUSE:
        text = "Address already in use";
        return true;
    case WSAEADDRNOTAVAIL:
        text = "Cannot assign requested address";
        return true;
    case WSAEACCES:
        text = "Permission denied";
        return true;
    case WSAENOBUFS:
        text = "No buffer space available";
        return true;
    case WSAEMFILE:
        text = "Too many open files";
        return true;
    case WSAHOST_NOT_FOUND:
        text = "Unknown host";
        return true;
    case WSATRY_AGAIN:
        text = "Host name lookup failure";
        return true;
    default:
        break;
    }
    std::string message = englishSystemMessageUtf8(static_cast<unsigned long>(code));
    if (message.empty()) return false;
    text = std::move(message);
    return true;
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
        address = reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_addr.s_addr;
        found = true;
    }
    freeaddrinfo(list);
    return found;
}

SOCKET netOpenTcp() {
    return openSocket(SOCK_STREAM);
}

SOCKET netOpenUdp() {
    return openSocket(SOCK_DGRAM);
}

void netClose(SOCKET socket) {
    closesocket(socket);
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
    int length = sizeof pending;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) != 0) {
        return WSAGetLastError();
    }
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
    int length = sizeof endpoint;
    const SOCKET socket = accept(listener, reinterpret_cast<sockaddr*>(&endpoint), &length);
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    // An accepted socket takes its modes from the listener, but whether that includes the
    // no-inherit flag is not promised; both are set here again. The launcher itself never
    // starts a process with inheritance on, so nothing can slip through in between.
    SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
    setNonBlocking(socket);
    if (peer != nullptr) *peer = endpoint.sin_addr.s_addr;
    return socket;
}

int netPollWritable(SOCKET socket, int timeoutMs) {
    // select, not WSAPoll: before Windows 10 version 2004 WSAPoll does not report a refused
    // non-blocking connect at all, and the wait would run into its time limit. A connect that
    // succeeded makes the socket writable; one that failed puts it in the except set. Either
    // way the pending error then says how the attempt ended.
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket, &writable);
    FD_SET(socket, &failed);
    timeval limit{};
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
    // The first argument is ignored by Winsock; select is never interrupted by a signal there.
    return select(0, nullptr, &writable, &failed, timeoutMs < 0 ? nullptr : &limit);
}

void netPollReadable(const std::vector<SOCKET>& sockets, int timeoutMs) {
    std::vector<WSAPOLLFD> entries(sockets.size());
    for (std::size_t i = 0; i < sockets.size(); ++i) {
        entries[i].fd = sockets[i];
        entries[i].events = POLLRDNORM;
    }
    // The caller reads again afterwards whatever happened; the wait only bounds how long it
    // sleeps.
    (void)WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), timeoutMs);
}

long netSend(SOCKET socket, const std::uint8_t* data, std::size_t length) {
    // Windows raises no signal for a peer that has hung up; the send simply fails.
    return send(socket, reinterpret_cast<const char*>(data), byteCount(length), 0);
}

long netReceive(SOCKET socket, std::uint8_t* buffer, std::size_t length) {
    return recv(socket, reinterpret_cast<char*>(buffer), byteCount(length), 0);
}

long netSendTo(SOCKET socket, const std::uint8_t* data, std::size_t length, std::uint32_t address,
               std::uint16_t port) {
    const sockaddr_in endpoint = ipv4Endpoint(address, port);
    return sendto(socket, reinterpret_cast<const char*>(data), byteCount(length), 0,
                  reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint);
}

long netReceiveFrom(SOCKET socket, std::uint8_t* buffer, std::size_t length, std::uint32_t& from) {
    sockaddr_in endpoint{};
    int endpointLength = sizeof endpoint;
    // A datagram longer than the buffer fails with WSAEMSGSIZE and its rest is discarded by the
    // system, so a cut-off datagram is never handed on.
    const int n = recvfrom(socket, reinterpret_cast<char*>(buffer), byteCount(length), 0,
                           reinterpret_cast<sockaddr*>(&endpoint), &endpointLength);
    if (n < 0) return -1;
    if (endpoint.sin_family != AF_INET || endpointLength < static_cast<int>(sizeof endpoint)) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return -1;
    }
    from = endpoint.sin_addr.s_addr;
    return n;
}

std::string netDottedAddress(std::uint32_t address) {
    in_addr raw{};
    raw.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &raw, text, sizeof text) == nullptr) return std::string();
    return text;
}

bool netListInterfaces(std::vector<NetInterface>& list, std::size_t maxEntries) {
    // The query needs a socket of the address family whose list it reads; a short-lived one of
    // our own keeps the callers' sockets out of it.
    const SOCKET query = openSocket(SOCK_DGRAM);
    if (query == INVALID_SOCKET) return false;
    std::vector<INTERFACE_INFO> entries(maxEntries);
    DWORD returned = 0;
    const int result = WSAIoctl(query, SIO_GET_INTERFACE_LIST, nullptr, 0, entries.data(),
                                static_cast<DWORD>(entries.size() * sizeof(INTERFACE_INFO)),
                                &returned, nullptr, nullptr);
    closesocket(query);
    if (result != 0) return false;
    list.clear();
    const std::size_t count = returned / sizeof(INTERFACE_INFO);
    for (std::size_t i = 0; i < count && i < maxEntries; ++i) {
        const INTERFACE_INFO& entry = entries[i];
        NetInterface item;
        item.up = (entry.iiFlags & IFF_UP) != 0;
        item.broadcast = (entry.iiFlags & IFF_BROADCAST) != 0;
        item.loopback = (entry.iiFlags & IFF_LOOPBACK) != 0;
        item.ipv4 = entry.iiAddress.AddressIn.sin_family == AF_INET;
        item.address = entry.iiAddress.AddressIn.sin_addr.s_addr;
        item.netmask = entry.iiNetmask.AddressIn.sin_addr.s_addr;
        list.push_back(item);
    }
    return true;
}

} // namespace qv::launcher
