// The TCP client sockets over real loopback connections.
#include "base/net.h"

#include "../../support/setup_skip.h"
#include "netns.h"
#include "socket_probe.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace qv::launcher {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Clock;
using test::localPort;
using test::msSince;
using test::openDescriptors;

std::size_t pendingBytes(SOCKET socket) {
    int pending = 0;
    if (ioctl(socket, FIONREAD, &pending) != 0) return 0;
    return static_cast<std::size_t>(pending);
}

// Loopback delivery is quick but not part of the send call; wait until the
// bytes are really there before a test depends on them.
bool waitForPending(SOCKET socket, std::size_t bytes) {
    const auto start = Clock::now();
    while (pendingBytes(socket) < bytes) {
        if (msSince(start) > 5000) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

Bytes pattern(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

// Sends the whole of data on a plain blocking path, for the peer side.
void sendAll(SOCKET socket, const Bytes& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = send(socket, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
        } else {
            ASSERT_TRUE(errno == EAGAIN || errno == EINTR) << std::strerror(errno);
            pollfd entry{socket, POLLOUT, 0};
            poll(&entry, 1, 1000);
        }
    }
}

// A listener on an ephemeral port, a client connected to it and the
// accepted server side.
struct Connection {
    Connection() {
        listener = tcpListen(0, 8);
        if (listener == INVALID_SOCKET) return;
        std::string error = "earlier text";
        client = tcpConnect("127.0.0.1", localPort(listener), 2000, error);
        // A successful connect leaves the caller's text alone.
        if (error != "earlier text") closeSocket(client);
        waitReadable({listener}, 2000);
        server = tcpAccept(listener, nullptr);
    }
    ~Connection() {
        closeSocket(client);
        closeSocket(server);
        closeSocket(listener);
    }
    bool ok() const { return client != INVALID_SOCKET && server != INVALID_SOCKET; }

    SOCKET listener = INVALID_SOCKET;
    SOCKET client = INVALID_SOCKET;
    SOCKET server = INVALID_SOCKET;
};

class TcpPair : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(pair.ok()); }

    // With modest buffers a megabyte is more than the path to the peer holds.
    void setBufferSizes(int size) {
        setsockopt(client, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        setsockopt(server, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }

    Connection pair;
    SOCKET& client = pair.client;
    SOCKET& server = pair.server;
};

TEST_F(TcpPair, ConnectedSocketIsNonBlockingCloseOnExecAndNoDelay) {
    EXPECT_NE(fcntl(client, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(fcntl(client, F_GETFD) & FD_CLOEXEC, 0);
    int noDelay = 0;
    socklen_t length = sizeof noDelay;
    ASSERT_EQ(getsockopt(client, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length), 0);
    EXPECT_NE(noDelay, 0);

    // Bytes go both ways.
    Bytes out;
    const Bytes hello = {'h', 'e', 'l', 'l', 'o'};
    ASSERT_TRUE(tcpSend(client, out, hello.data(), hello.size()));
    EXPECT_TRUE(out.empty());
    ASSERT_TRUE(waitForPending(server, hello.size()));
    Bytes in;
    EXPECT_TRUE(tcpReceive(server, in, 1000));
    EXPECT_EQ(in, hello);
}

TEST(TcpConnect, FailuresReportTheirCauseAndLeaveNoSocketBehind) {
    // A port that was just free: nothing listens there.
    SOCKET probe = tcpListen(0, 1);
    ASSERT_NE(probe, INVALID_SOCKET);
    const std::uint16_t closedPort = localPort(probe);
    closeSocket(probe);

    const std::size_t before = openDescriptors();
    std::string error;
    EXPECT_EQ(tcpConnect("127.0.0.1", closedPort, 2000, error), INVALID_SOCKET);
    EXPECT_EQ(error, socketErrorText(ECONNREFUSED));
    EXPECT_FALSE(error.empty());
    EXPECT_NE(error.back(), '.');
    EXPECT_EQ(openDescriptors(), before);
}

TEST(TcpConnect, NamesThatDoNotResolve) {
    // The resolver would ask the machine's name server, which is not on
    // loopback; inside a private namespace the query cannot leave.
    std::string failure;
    const bool ran = netns::inPrivateNetwork(
        {},
        [] {
            std::string report;
            for (const std::string host : {"no-such-host.invalid", "", "999.1.2.3"}) {
                std::string error;
                const SOCKET socket = tcpConnect(host, 80, 1000, error);
                if (socket != INVALID_SOCKET) report += "connected to '" + host + "'; ";
                if (error != "cannot resolve " + host)
                    report += "'" + host + "' gave '" + error + "'; ";
            }
            return report;
        },
        failure);
    if (!ran) SKIP_WITHOUT_SETUP(failure);
    EXPECT_EQ(failure, "");
}

TEST(TcpConnect, WaitsOutTheTimeOutWhenNoAnswerComes) {
    // With a backlog of 0 the listener queues one connection and then drops
    // further handshakes unanswered, like a host that does not reply.
    SOCKET listener = tcpListen(0, 0);
    ASSERT_NE(listener, INVALID_SOCKET);
    const std::uint16_t port = localPort(listener);
    std::vector<SOCKET> queued;
    std::string error;
    long long elapsed = -1;
    const std::size_t before = openDescriptors();
    for (int attempt = 0; attempt < 4 && elapsed < 0; ++attempt) {
        const auto start = Clock::now();
        const SOCKET socket = tcpConnect("127.0.0.1", port, 400, error);
        if (socket != INVALID_SOCKET) {
            queued.push_back(socket);
            continue;
        }
        elapsed = msSince(start);
        EXPECT_EQ(openDescriptors(), before + queued.size());
    }
    ASSERT_GE(elapsed, 0) << "the listener's queue never filled";
    EXPECT_EQ(error, "timed out");
    EXPECT_GE(elapsed, 395);
    EXPECT_LT(elapsed, 1500);
    for (SOCKET& socket : queued)
        closeSocket(socket);
    closeSocket(listener);
}

TEST(SocketErrorText, SystemTextOrTheCodeInDecimal) {
    EXPECT_EQ(socketErrorText(ECONNREFUSED), "Connection refused");
    EXPECT_EQ(socketErrorText(123456), "error 123456");
    EXPECT_EQ(socketErrorText(-7), "error -7");
}

TEST_F(TcpPair, FlushKeepsExactlyTheUnsentTailQueued) {
    Bytes out;
    EXPECT_TRUE(flushSendBuffer(client, out));

    setBufferSizes(65536);
    const Bytes data = pattern(1 << 20);
    ASSERT_TRUE(tcpSend(client, out, data.data(), data.size()));
    // The peer reads nothing yet, so the system took only part of it.
    ASSERT_FALSE(out.empty());
    ASSERT_LT(out.size(), data.size());
    EXPECT_TRUE(std::equal(out.begin(), out.end(), data.end() - static_cast<long>(out.size())));

    // Draining the peer while flushing delivers every byte once, in order.
    Bytes received;
    const auto start = Clock::now();
    while (received.size() < data.size() && msSince(start) < 20000) {
        EXPECT_TRUE(tcpFlush(client, out));
        waitReadable({server}, 50);
        ASSERT_TRUE(tcpReceive(server, received, data.size()));
    }
    EXPECT_TRUE(out.empty());
    EXPECT_TRUE(received == data);
}

TEST(TcpSend, InvalidSocketKeepsTheBytesQueued) {
    Bytes out = {1};
    const std::uint8_t more[] = {2, 3};
    EXPECT_FALSE(tcpSend(INVALID_SOCKET, out, more, sizeof more));
    EXPECT_EQ(out, (Bytes{1, 2, 3}));
    EXPECT_FALSE(tcpFlush(INVALID_SOCKET, out));
    EXPECT_EQ(out.size(), 3u);
    EXPECT_FALSE(tcpSend(INVALID_SOCKET, out, nullptr, 0));
    EXPECT_EQ(out.size(), 3u);
}

TEST_F(TcpPair, SendToAPeerThatHungUpFailsAndClearsTheQueue) {
    // Unread bytes make the close a reset; a send afterwards must fail
    // quietly rather than raise SIGPIPE.
    const Bytes unread = pattern(100);
    sendAll(client, unread);
    ASSERT_TRUE(waitForPending(server, unread.size()));
    closeSocket(server);

    Bytes out;
    const Bytes data = pattern(1000);
    bool failed = false;
    for (int attempt = 0; attempt < 200 && !failed; ++attempt) {
        failed = !tcpSend(client, out, data.data(), data.size());
        if (!failed) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(failed);
    EXPECT_TRUE(out.empty());
    // The reset has been reported; from now on the system says "broken pipe".
    EXPECT_FALSE(tcpSend(client, out, data.data(), data.size()));
    EXPECT_TRUE(out.empty());
}

TEST_F(TcpPair, ReceiveStopsAtTheCap) {
    const Bytes data = pattern(1000);
    sendAll(client, data);
    ASSERT_TRUE(waitForPending(server, data.size()));

    // A full buffer reads nothing, however much is pending.
    Bytes in(50, 0xAA);
    EXPECT_TRUE(tcpReceive(server, in, 50));
    EXPECT_EQ(in.size(), 50u);
    EXPECT_EQ(pendingBytes(server), data.size());

    // Room for 100 takes exactly 100, after what the buffer held.
    EXPECT_TRUE(tcpReceive(server, in, 150));
    ASSERT_EQ(in.size(), 150u);
    EXPECT_TRUE(std::equal(in.begin() + 50, in.end(), data.begin()));
    EXPECT_EQ(pendingBytes(server), data.size() - 100);

    // The rest, then silence on an open connection.
    EXPECT_TRUE(tcpReceive(server, in, 1 << 20));
    EXPECT_EQ(in.size(), 50 + data.size());
    EXPECT_TRUE(tcpReceive(server, in, 1 << 20));
    EXPECT_EQ(in.size(), 50 + data.size());

    EXPECT_FALSE(tcpReceive(INVALID_SOCKET, in, 1 << 20));
}

TEST(TcpReceive, ReadsEverythingThatArrivedBeforeThePeerClosed) {
    struct Case {
        std::size_t size;
        bool firstResult; // the close is seen in the same call only after a full last read
    };
    for (const Case c : {Case{2 * 16384 + 1000, true}, Case{2 * 16384, false}}) {
        SCOPED_TRACE(c.size);
        Connection pair;
        ASSERT_TRUE(pair.ok());
        const Bytes data = pattern(c.size);
        sendAll(pair.client, data);
        closeSocket(pair.client);
        ASSERT_TRUE(waitForPending(pair.server, data.size()));

        Bytes in;
        EXPECT_EQ(tcpReceive(pair.server, in, 1 << 20), c.firstResult);
        EXPECT_TRUE(in == data);
        EXPECT_FALSE(tcpReceive(pair.server, in, 1 << 20));
        EXPECT_EQ(in.size(), data.size());
    }
}

TEST_F(TcpPair, WaitReadableBoundsTheWait) {
    struct Case {
        const char* name;
        std::vector<SOCKET> sockets;
    };
    const std::vector<Case> sleepers = {
        {"empty list", {}},
        {"only invalid", {INVALID_SOCKET, INVALID_SOCKET}},
        {"silent socket", {INVALID_SOCKET, server}},
    };
    for (const Case& c : sleepers) {
        const auto start = Clock::now();
        waitReadable(c.sockets, 150);
        const long long elapsed = msSince(start);
        EXPECT_GE(elapsed, 145) << c.name;
        EXPECT_LT(elapsed, 1000) << c.name;
    }

    sendAll(client, {42});
    const auto start = Clock::now();
    waitReadable({INVALID_SOCKET, server}, 5000);
    EXPECT_LT(msSince(start), 1000);
}

TEST(CloseSocket, ClosesAndForgetsTheHandle) {
    SOCKET none = INVALID_SOCKET;
    closeSocket(none);
    EXPECT_EQ(none, INVALID_SOCKET);

    SOCKET socket = tcpListen(0, 1);
    ASSERT_NE(socket, INVALID_SOCKET);
    const int fd = socket;
    closeSocket(socket);
    EXPECT_EQ(socket, INVALID_SOCKET);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    closeSocket(socket);
}

TEST(SplitHostPort, PresetsSurviveWhatTheTextLeavesOut) {
    struct Case {
        const char* text;
        bool result;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"box:8080", true, "box", 8080},
        {"box", true, "box", 80},
        {"box:", true, "box", 80},
        {"", true, "preset", 80},
        {":8080", true, "preset", 8080},
        {"box:0", false, "box", 80},
        {"box:65535", true, "box", 65535},
        {"box:65536", false, "box", 80},
        {"box:99999999999999999999999", false, "box", 80},
        {"box:80a", false, "box", 80},
        {"box:+80", false, "box", 80},
        {"box: 80", false, "box", 80},
        {"box:-1", false, "box", 80},
        {"a:b:81", true, "a:b", 81},
        {"[::1]:443", true, "[::1]", 443},
        {"box:007", true, "box", 7},
    };
    for (const Case& c : cases) {
        std::string host = "preset";
        std::uint16_t port = 80;
        EXPECT_EQ(splitHostPort(c.text, host, port), c.result) << c.text;
        EXPECT_EQ(host, c.host) << c.text;
        EXPECT_EQ(port, c.port) << c.text;
    }
}

} // namespace
} // namespace qv::launcher
