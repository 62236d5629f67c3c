// The operating-system side of the sockets: thin calls that net.cpp builds
// its rules on. Addresses are IPv4 in network byte order, ports in host
// byte order. Results follow the BSD convention (negative on failure, with
// the code in netLastError()) unless said otherwise.
#pragma once

#include "base/net.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv::launcher {

// Starts the socket library; 0 or the library's own failure code.
int netOsStartup();

// The error code of the calling thread's last failed socket call.
int netLastError();

// Codes that mean "try again later" rather than failure.
bool netIsWouldBlock(int code);
bool netIsInterrupted(int code);
// A non-blocking connect that has been started and is still under way.
bool netIsConnectPending(int code);

// The system's message for a code exactly as the system words it, in the
// user's language; false when the system has no message for it.
bool netSystemMessage(int code, std::string& text);

// The reason shown for a code, in English on every system: the same words
// for the common causes on every host, the system's English message for the
// rest where it has one; false when there is none.
bool netReasonText(int code, std::string& text);

// Resolves host to its first IPv4 address; false when it does not resolve.
bool netResolveIpv4(const std::string& host, std::uint32_t& address);

// New non-blocking, close-on-exec IPv4 sockets.
SOCKET netOpenTcp();
SOCKET netOpenUdp();
void netClose(SOCKET socket);

// Socket options; false when the system refused.
bool netSetNoDelay(SOCKET socket);
bool netSetReuseAddress(SOCKET socket);
bool netSetBroadcast(SOCKET socket);
// The socket's pending error (SO_ERROR), or the code of the failed query.
int netPendingError(SOCKET socket);

// 0, or negative with the code in netLastError().
int netConnect(SOCKET socket, std::uint32_t address, std::uint16_t port);
int netBindAny(SOCKET socket, std::uint16_t port);
int netListen(SOCKET socket, int backlog);
// A pending connection as a new non-blocking, close-on-exec socket, or
// INVALID_SOCKET; peer receives the peer's address when not null.
SOCKET netAccept(SOCKET listener, std::uint32_t* peer);

// Waits for the socket to become writable: above 0 when it did, 0 after
// timeoutMs, below 0 on failure.
int netPollWritable(SOCKET socket, int timeoutMs);
// Waits at most timeoutMs for one of the sockets (all valid, at least one)
// to become readable.
void netPollReadable(const std::vector<SOCKET>& sockets, int timeoutMs);

// Byte counts, or negative on failure. A peer that has hung up never raises
// a signal.
long netSend(SOCKET socket, const std::uint8_t* data, std::size_t length);
long netReceive(SOCKET socket, std::uint8_t* buffer, std::size_t length);
long netSendTo(SOCKET socket, const std::uint8_t* data, std::size_t length, std::uint32_t address,
               std::uint16_t port);
// One datagram; a datagram longer than length is discarded and reported as
// a failure, as is one that does not come from an IPv4 sender.
long netReceiveFrom(SOCKET socket, std::uint8_t* buffer, std::size_t length, std::uint32_t& from);

// An IPv4 address as dotted decimal text.
std::string netDottedAddress(std::uint32_t address);

// One entry of the local interface list.
struct NetInterface {
    bool up = false;
    bool broadcast = false;
    bool loopback = false;
    bool ipv4 = false;
    std::uint32_t address = 0;
    std::uint32_t netmask = 0;
};

// Reads at most maxEntries IPv4 entries of the local interface list, in the
// system's order; false when the list cannot be read.
bool netListInterfaces(std::vector<NetInterface>& list, std::size_t maxEntries);

} // namespace qv::launcher
