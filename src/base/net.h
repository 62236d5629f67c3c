// The base layer's sockets: non-blocking IPv4 TCP client connections, a TCP
// listener, and UDP broadcast on one fixed port. Failures come back as text
// or as booleans, never as exceptions. Every socket handed out is
// non-blocking and close-on-exec, and belongs to the caller, who closes it
// with closeSocket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// SOCKET and INVALID_SOCKET ("no socket") come from the host's own folder:
// the handle type differs between hosts.
#include "socket_handle.h"

namespace qv::launcher {

// The port of every UDP broadcast and of the UDP listener.
inline constexpr std::uint16_t kBroadcastPort = 25998;

// Starts the socket library once per process; later calls return at once.
// Safe to call from several threads.
void ensureNetStarted();

// The system's message for an error code without its trailing full stops and
// line ends, or "error <code>" when the system has none.
std::string socketErrorText(int code);

// Closes the socket unless it is INVALID_SOCKET, then sets it to
// INVALID_SOCKET. Calling it twice is harmless.
void closeSocket(SOCKET& socket);

// Connects to host (a name or a dotted IPv4 address) and port, waiting at
// most timeoutMs for the connection (name resolution is not bounded). Returns
// a connected non-blocking socket with TCP_NODELAY on, or INVALID_SOCKET with
// error set to "cannot resolve <host>", "cannot create socket", "timed out"
// or the system's text. On success error is left as it was.
SOCKET tcpConnect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error);

// Appends the bytes to the output buffer (also for INVALID_SOCKET), then
// flushes as tcpFlush does.
bool tcpSend(SOCKET socket, std::vector<std::uint8_t>& out, const void* data, std::size_t length);

// false for INVALID_SOCKET (the buffer keeps its bytes), else flushSendBuffer.
bool tcpFlush(SOCKET socket, std::vector<std::uint8_t>& out);

// Sends from the front of the buffer as far as the system takes and removes
// what was sent. true: the connection is usable and the rest stays queued.
// false: the connection is gone and the buffer has been cleared.
bool flushSendBuffer(SOCKET socket, std::vector<std::uint8_t>& out);

// Appends pending bytes to in until it holds cap bytes or nothing more is
// pending. true: the connection is still open (whether or not anything
// arrived). false: the peer closed it or it failed; bytes read before that
// stay in the buffer.
bool tcpReceive(SOCKET socket, std::vector<std::uint8_t>& in, std::size_t cap);

// Returns when one of the valid sockets is readable or after timeoutMs;
// sleeps for timeoutMs when the list holds no valid socket.
void waitReadable(const std::vector<SOCKET>& sockets, int timeoutMs);

// Splits "host:port" at its last colon. An empty text, a text without a
// colon, or a colon with nothing after it keep the preset port; a text that
// begins with the colon keeps the host. A port that is not all digits or not
// within 1..65535 gives false with the port unchanged.
bool splitHostPort(const std::string& text, std::string& host, std::uint16_t& port);

// A non-blocking TCP socket listening on every local address and the port,
// or INVALID_SOCKET; a bind or listen failure is logged with its cause.
SOCKET tcpListen(std::uint16_t port, int backlog);

// Takes one pending connection, or returns INVALID_SOCKET at once when none
// is pending. When peer is given it receives the peer's IPv4 address in
// network byte order.
SOCKET tcpAccept(SOCKET listener, std::uint32_t* peer);

// An unbound UDP socket that may send to broadcast addresses.
SOCKET udpOpenBroadcast();

// A UDP socket bound to every local address and kBroadcastPort.
SOCKET udpOpenListener();

// Sends the data as one datagram to kBroadcastPort on the directed broadcast
// address of every local IPv4 network that is up (or, when none of those
// sends works, the limited broadcast address), and on the local machine.
// true when at least one of the sends took all the bytes.
bool udpBroadcast(SOCKET socket, const void* data, std::size_t length);

// Takes one pending datagram of 1 to 512 bytes: data is replaced by its
// bytes and from by the sender's dotted IPv4 address. false (both untouched)
// when nothing is pending, on an error, and for an empty or longer datagram.
bool udpReceive(SOCKET socket, std::vector<std::uint8_t>& data, std::string& from);

} // namespace qv::launcher
