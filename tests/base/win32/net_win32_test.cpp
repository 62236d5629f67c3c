// The Winsock side of the sockets over real loopback connections: the properties every handed-out
// socket has, the three ways a connection ends early (refused, no answer, closed mid-reply), the
// error texts, the datagram size limit and the interface list.
#include <winsock2.h>
#include <ws2tcpip.h>
#undef INVALID_SOCKET

#include "base/net.h"
#include "base/net_os.h"
#include "base/win32/wide_text.h"

#include "handle_probe.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace qv::launcher {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

long long msSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::uint16_t localPort(SOCKET socket) {
    sockaddr_in address{};
    int length = sizeof address;
    if (getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    return ntohs(address.sin_port);
}

bool inheritable(SOCKET socket) {
    return test::inheritable(reinterpret_cast<HANDLE>(socket));
}

// A read on a socket with nothing pending: a non-blocking socket says so at once (a blocking
// one would hang here, which the test's time limit reports).
bool saysWouldBlock(SOCKET socket) {
    char byte = 0;
    return recv(socket, &byte, 1, 0) < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
}

// Reads until the wanted number of bytes has arrived or the connection ends.
Bytes receiveUntil(SOCKET socket, std::size_t wanted, bool& open) {
    Bytes in;
    open = true;
    const auto start = Clock::now();
    while (open && in.size() < wanted && msSince(start) < 20000) {
        waitReadable({socket}, 200);
        open = tcpReceive(socket, in, wanted);
    }
    return in;
}

// A listener on an ephemeral loopback port, a client connected to it and the accepted side.
struct Connection {
    Connection() {
        listener = tcpListen(0, 8);
        if (listener == INVALID_SOCKET) return;
        std::string error;
        client = tcpConnect("127.0.0.1", localPort(listener), 10000, error);
        for (int i = 0; i < 100 && server == INVALID_SOCKET; ++i) {
            waitReadable({listener}, 100);
            server = tcpAccept(listener, &peer);
        }
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
    std::uint32_t peer = 0;
};

TEST(Sockets, EveryHandedOutSocketIsNonBlockingAndNotInheritable) {
    Connection pair;
    ASSERT_TRUE(pair.ok());
    EXPECT_EQ(netDottedAddress(pair.peer), "127.0.0.1");
    SOCKET broadcast = udpOpenBroadcast();
    ASSERT_NE(broadcast, INVALID_SOCKET);
    const SOCKET sockets[] = {pair.listener, pair.client, pair.server, broadcast};
    for (const SOCKET socket : sockets) {
        EXPECT_FALSE(inheritable(socket)) << socket;
        if (socket != pair.listener) {
            EXPECT_TRUE(saysWouldBlock(socket)) << socket;
        }
    }
    // An accept with nothing pending returns at once.
    EXPECT_EQ(tcpAccept(pair.listener, nullptr), INVALID_SOCKET);
    closeSocket(broadcast);
}

TEST(TcpConnect, ARefusedConnectionEndsTheWaitWithTheSystemsReason) {
    SOCKET probe = tcpListen(0, 1);
    ASSERT_NE(probe, INVALID_SOCKET);
    const std::uint16_t closedPort = localPort(probe);
    closeSocket(probe);

    // The refusal must end the wait, not the time-out.
    std::string error;
    EXPECT_EQ(tcpConnect("127.0.0.1", closedPort, 60000, error), INVALID_SOCKET);
    EXPECT_EQ(error, socketErrorText(WSAECONNREFUSED));
}

TEST(TcpConnect, WaitsOutTheTimeOutWhenNoAnswerComes) {
    // With a backlog of 1 the listener queues a connection or two and then leaves further
    // handshakes unanswered, like a host that does not reply.
    SOCKET listener = tcpListen(0, 1);
    ASSERT_NE(listener, INVALID_SOCKET);
    const std::uint16_t port = localPort(listener);
    std::vector<SOCKET> queued;
    std::string error;
    long long elapsed = -1;
    for (int attempt = 0; attempt < 8 && elapsed < 0; ++attempt) {
        const auto start = Clock::now();
        const SOCKET socket = tcpConnect("127.0.0.1", port, 400, error);
        if (socket != INVALID_SOCKET) {
            queued.push_back(socket);
            continue;
        }
        elapsed = msSince(start);
    }
    for (SOCKET& socket : queued)
        closeSocket(socket);
    closeSocket(listener);
    ASSERT_GE(elapsed, 0) << "the listener's queue never filled";
    if (error == socketErrorText(WSAECONNREFUSED)) {
        GTEST_SKIP() << "this host refuses connections beyond the backlog instead of ignoring them";
    }
    EXPECT_EQ(error, "timed out");
    EXPECT_GE(elapsed, 390);
}

TEST(TcpReceive, KeepsWhatArrivedWhenThePeerClosesMidReply) {
    const Bytes reply(3000, 0x5A);
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "orderly close");
        Connection pair;
        ASSERT_TRUE(pair.ok());
        Bytes out = reply;
        ASSERT_TRUE(flushSendBuffer(pair.server, out));
        ASSERT_TRUE(out.empty());

        bool open = true;
        Bytes in = receiveUntil(pair.client, reply.size(), open);
        EXPECT_TRUE(open);
        EXPECT_EQ(in, reply);

        if (reset) {
            // A zero linger time makes the close a reset instead of an orderly end.
            const linger abort{1, 0};
            setsockopt(pair.server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
                       sizeof abort);
        }
        closeSocket(pair.server);
        in = receiveUntil(pair.client, reply.size() + 1, open);
        EXPECT_FALSE(open);
        EXPECT_TRUE(in.empty());
    }
}

TEST(SocketErrorText, TextWithoutTrailingStopsOrTheCodeInDecimal) {
    // The wording differs between systems; only its form is fixed.
    for (const int code : {WSAECONNREFUSED, WSAETIMEDOUT, 2}) {
        const std::string text = socketErrorText(code);
        ASSERT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_last_of(".\r\n"), text.npos) << text;
    }
    // Codes with the customer bit set are never the system's.
    EXPECT_EQ(socketErrorText(0x2000ABCD), "error 536914893");
    EXPECT_EQ(socketErrorText(-7), "error -7");
}

TEST(SocketErrorText, TheCommonCausesReadAsOnTheOtherHostsWhateverTheSystemsLanguage) {
    const struct {
        int code;
        const char* text;
    } cases[] = {
        {WSAECONNREFUSED, "Connection refused"},     {WSAETIMEDOUT, "Connection timed out"},
        {WSAECONNRESET, "Connection reset by peer"}, {WSAENETUNREACH, "Network is unreachable"},
        {WSAEHOSTUNREACH, "No route to host"},       {WSAHOST_NOT_FOUND, "Unknown host"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(socketErrorText(c.code), c.text) << c.code;
}

TEST(SystemMessages, ReadOnTheirOwnWithoutInsertsLineBreaksOrAFinalStop) {
    const struct {
        const wchar_t* message;
        const wchar_t* plain;
    } cases[] = {
        {L"%1 is not a valid Win32 application.\r\n", L"is not a valid Win32 application"},
        {L"The file %1 was not found in %2!s!.\r\n", L"The file was not found in"},
        {L"\u63a5\u7d9a\u306f\u62d2\u5426\u3055\u308c\u307e\u3057\u305f\u3002\r\n",
         L"\u63a5\u7d9a\u306f\u62d2\u5426\u3055\u308c\u307e\u3057\u305f"},
        {L"Two\r\nlines%n here\uff0e", L"Two lines here"},
        {L"100%% done.", L"100% done"},
        {L"...\r\n", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(plainMessage(c.message), c.plain) << utf8FromWide(c.message);
    // Code 193's English text has an insert at its start.
    const std::string badExe = englishSystemMessageUtf8(ERROR_BAD_EXE_FORMAT);
    ASSERT_FALSE(badExe.empty());
    EXPECT_EQ(badExe.find('%'), std::string::npos) << badExe;
    EXPECT_NE(badExe.front(), ' ') << badExe;
    EXPECT_NE(badExe.back(), '.') << badExe;
}

TEST(UdpReceive, DropsADatagramTooLongForItsBuffer) {
    // An ephemeral port rather than the fixed one, so parallel runs cannot meet.
    ensureNetStarted();
    SOCKET receiver = netOpenUdp();
    ASSERT_NE(receiver, INVALID_SOCKET);
    ASSERT_EQ(netBindAny(receiver, 0), 0);
    SOCKET sender = udpOpenBroadcast();
    ASSERT_NE(sender, INVALID_SOCKET);
    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

    const Bytes tooLong(600, 1);
    const Bytes fits(100, 2);
    ASSERT_EQ(netSendTo(sender, tooLong.data(), tooLong.size(), loopback, localPort(receiver)),
              600);
    ASSERT_EQ(netSendTo(sender, fits.data(), fits.size(), loopback, localPort(receiver)), 100);

    Bytes data = {9};
    std::string from = "untouched";
    waitReadable({receiver}, 10000);
    EXPECT_FALSE(udpReceive(receiver, data, from));
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(data, Bytes{9});
    EXPECT_EQ(from, "untouched");

    waitReadable({receiver}, 10000);
    EXPECT_TRUE(udpReceive(receiver, data, from));
    EXPECT_EQ(data, fits);
    EXPECT_EQ(from, "127.0.0.1");
    EXPECT_FALSE(udpReceive(receiver, data, from));
    closeSocket(sender);
    closeSocket(receiver);
}

TEST(NetListInterfaces, HoldsTheLoopbackInterface) {
    ensureNetStarted();
    std::vector<NetInterface> list;
    ASSERT_TRUE(netListInterfaces(list, 32));
    bool loopback = false;
    for (const NetInterface& entry : list) {
        if (entry.address == htonl(INADDR_LOOPBACK)) {
            loopback =
                entry.up && entry.loopback && entry.ipv4 && entry.netmask == htonl(0xFF000000u);
        }
    }
    EXPECT_TRUE(loopback);
}

} // namespace
} // namespace qv::launcher
