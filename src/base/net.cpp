// The socket rules: connect with a time-out, queued sends, capped reads, the
// host:port split, the listener and the UDP broadcast. Every system call goes
// through net_os.h.
#include "base/net.h"

#include "base/log.h"
#include "base/net_os.h"
#include "base/text.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace qv::launcher {

namespace {

// Reads go through one buffer of this size per call, so a reply's memory is
// bounded by the caller's cap, not by what the peer sends.
constexpr std::size_t kReadChunk = 16384;
// The largest datagram we accept; longer ones are dropped by the system.
constexpr std::size_t kDatagramMax = 512;
// The interface list holds at most this many entries.
constexpr std::size_t kMaxInterfaces = 32;

constexpr std::uint32_t kLimitedBroadcast = 0xFFFFFFFFu;

// An IPv4 address in network byte order from its four dotted parts.
std::uint32_t ipv4Address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    const std::uint8_t bytes[4] = {a, b, c, d};
    std::uint32_t address = 0;
    std::memcpy(&address, bytes, sizeof address);
    return address;
}

void netStartup() {
    const int result = netOsStartup();
    if (result != 0) logError("net: WSAStartup failed (%d)", result);
}

bool isTransient(int code) {
    return netIsWouldBlock(code) || netIsInterrupted(code);
}

} // namespace

void ensureNetStarted() {
    // A failed start is not retried: later socket calls fail with their own
    // messages instead.
    static const bool started = [] {
        netStartup();
        return true;
    }();
    (void)started;
}

namespace {

void stripLineEndAndStop(std::string& text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '.'))
        text.pop_back();
}

} // namespace

std::string socketErrorText(int code) {
    const std::string number = "error " + std::to_string(code);
    std::string text;
    if (!netReasonText(code, text)) return number;
    stripLineEndAndStop(text);
    // The reason is drawn by the launcher's font, which a localized system's words may be beyond;
    // the code can still be looked up.
    if (!fontDrawsAll(text)) text = number;
    // The log keeps the system's own words, which may say more, in the user's language.
    std::string own;
    if (netSystemMessage(code, own)) {
        stripLineEndAndStop(own);
        if (own != text) logInfo("net: %s in the system's words: %s", number.c_str(), own.c_str());
    }
    return text;
}

void closeSocket(SOCKET& socket) {
    if (socket != INVALID_SOCKET) netClose(socket);
    socket = INVALID_SOCKET;
}

SOCKET tcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error) {
    ensureNetStarted();
    std::uint32_t address = 0;
    if (!netResolveIpv4(host, address)) {
        error = "cannot resolve " + host;
        return INVALID_SOCKET;
    }
    SOCKET socket = netOpenTcp();
    if (socket == INVALID_SOCKET) {
        error = "cannot create socket";
        return INVALID_SOCKET;
    }
    if (netConnect(socket, address, port) >= 0) {
        netSetNoDelay(socket);
        return socket;
    }
    const int code = netLastError();
    if (!netIsConnectPending(code)) {
        error = socketErrorText(code);
    } else {
        const int ready = netPollWritable(socket, timeoutMs);
        if (ready > 0) {
            // Writable only says the attempt is over; the pending error says
            // how it ended.
            const int pending = netPendingError(socket);
            if (pending == 0) {
                netSetNoDelay(socket);
                return socket;
            }
            error = socketErrorText(pending);
        } else if (ready == 0) {
            error = "timed out";
        } else {
            error = socketErrorText(netLastError());
        }
    }
    netClose(socket);
    return INVALID_SOCKET;
}

bool flushSendBuffer(SOCKET socket, std::vector<std::uint8_t>& out) {
    if (out.empty()) return true;
    std::size_t sent = 0;
    while (sent < out.size()) {
        const long n = netSend(socket, out.data() + sent, out.size() - sent);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && isTransient(netLastError())) break;
        // The connection is gone: nothing queued can reach the peer any more.
        out.clear();
        return false;
    }
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(sent));
    return true;
}

bool tcpFlush(SOCKET socket, std::vector<std::uint8_t>& out) {
    if (socket == INVALID_SOCKET) return false;
    return flushSendBuffer(socket, out);
}

bool tcpSend(SOCKET socket, std::vector<std::uint8_t>& out, const void* data, std::size_t length) {
    if (length > 0) {
        const auto* bytes = static_cast<const std::uint8_t*>(data);
        out.insert(out.end(), bytes, bytes + length);
    }
    return tcpFlush(socket, out);
}

bool tcpReceive(SOCKET socket, std::vector<std::uint8_t>& in, std::size_t cap) {
    if (socket == INVALID_SOCKET) return false;
    std::uint8_t chunk[kReadChunk];
    for (;;) {
        if (in.size() >= cap) return true;
        const std::size_t want = std::min(cap - in.size(), kReadChunk);
        const long n = netReceive(socket, chunk, want);
        if (n > 0) {
            in.insert(in.end(), chunk, chunk + n);
            if (static_cast<std::size_t>(n) == want) continue;
            return true;
        }
        if (n == 0) return false;
        return isTransient(netLastError());
    }
}

void waitReadable(const std::vector<SOCKET>& sockets, int timeoutMs) {
    std::vector<SOCKET> valid;
    for (SOCKET socket : sockets)
        if (socket != INVALID_SOCKET) valid.push_back(socket);
    if (valid.empty()) {
        if (timeoutMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return;
    }
    netPollReadable(valid, timeoutMs);
}

bool splitHostPort(const std::string& text, std::string& host, std::uint16_t& port) {
    if (text.empty()) return true;
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        host = text;
        return true;
    }
    if (colon > 0) host = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty()) return true;
    unsigned long value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return false;
        // Anything past the largest port is out of range, however long.
        if (value <= 65535) value = value * 10 + static_cast<unsigned long>(c - '0');
    }
    if (value < 1 || value > 65535) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

SOCKET tcpListen(std::uint16_t port, int backlog) {
    ensureNetStarted();
    SOCKET socket = netOpenTcp();
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    netSetReuseAddress(socket);
    if (netBindAny(socket, port) < 0 || netListen(socket, backlog) < 0) {
        const int code = netLastError();
        logError("net: cannot listen on port %u: %s", static_cast<unsigned>(port),
                 socketErrorText(code).c_str());
        netClose(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

SOCKET tcpAccept(SOCKET listener, std::uint32_t* peer) {
    if (listener == INVALID_SOCKET) return INVALID_SOCKET;
    const SOCKET socket = netAccept(listener, peer);
    if (socket != INVALID_SOCKET) netSetNoDelay(socket);
    return socket;
}

SOCKET udpOpenBroadcast() {
    ensureNetStarted();
    SOCKET socket = netOpenUdp();
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    if (!netSetBroadcast(socket)) {
        netClose(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

SOCKET udpOpenListener() {
    ensureNetStarted();
    SOCKET socket = netOpenUdp();
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    netSetReuseAddress(socket);
    if (netBindAny(socket, kBroadcastPort) < 0) {
        netClose(socket);
        return INVALID_SOCKET;
    }
    return socket;
}

bool udpBroadcast(SOCKET socket, const void* data, std::size_t length) {
    if (socket == INVALID_SOCKET) return false;
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    const auto sendWhole = [&](std::uint32_t address) {
        const long n = netSendTo(socket, bytes, length, address, kBroadcastPort);
        return n >= 0 && static_cast<std::size_t>(n) == length;
    };

    bool good = false;
    std::vector<NetInterface> interfaces;
    if (netListInterfaces(interfaces, kMaxInterfaces)) {
        for (const NetInterface& entry : interfaces) {
            if (!entry.up || !entry.broadcast || entry.loopback || !entry.ipv4) continue;
            // The directed broadcast address of the entry's network.
            if (sendWhole(entry.address | ~entry.netmask)) good = true;
        }
    }
    if (!good) good = sendWhole(kLimitedBroadcast);
    const bool local = sendWhole(ipv4Address(127, 0, 0, 1));
    return good || local;
}

bool udpReceive(SOCKET socket, std::vector<std::uint8_t>& data, std::string& from) {
    if (socket == INVALID_SOCKET) return false;
    std::uint8_t datagram[kDatagramMax];
    std::uint32_t sender = 0;
    const long n = netReceiveFrom(socket, datagram, sizeof datagram, sender);
    if (n <= 0) return false;
    data.assign(datagram, datagram + n);
    from = netDottedAddress(sender);
    return true;
}

} // namespace qv::launcher
