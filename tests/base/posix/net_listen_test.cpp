// The TCP listener on loopback, and the UDP broadcast and listener sockets.
// A broadcast goes to every network the machine is on, so each broadcast runs
// in a forked child inside a network namespace that the test makes for it;
// the fixed UDP port is used only there too, so parallel runs cannot meet.
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
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace qv::launcher {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::Clock;
using test::localPort;
using test::msSince;
using test::openDescriptors;

bool nonBlockingAndCloseOnExec(SOCKET socket) {
    return (fcntl(socket, F_GETFL) & O_NONBLOCK) != 0 && (fcntl(socket, F_GETFD) & FD_CLOEXEC) != 0;
}

std::uint32_t loopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

// A receiver on the broadcast port that learns each datagram's destination
// address, so a test sees exactly where a broadcast went.
class DestinationRecorder {
  public:
    DestinationRecorder() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        setsockopt(fd_, IPPROTO_IP, IP_PKTINFO, &one, sizeof one);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(kBroadcastPort);
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&any), sizeof any) == 0;
    }
    ~DestinationRecorder() { close(fd_); }
    bool ready() const { return fd_ >= 0 && bound_; }

    // Every destination address seen until the port stays quiet for a while.
    std::set<std::string> destinations() {
        std::set<std::string> seen;
        for (;;) {
            pollfd entry{fd_, POLLIN, 0};
            if (poll(&entry, 1, 300) <= 0) return seen;
            char data[1024];
            char control[256];
            iovec part{data, sizeof data};
            msghdr message{};
            message.msg_iov = &part;
            message.msg_iovlen = 1;
            message.msg_control = control;
            message.msg_controllen = sizeof control;
            if (recvmsg(fd_, &message, 0) < 0) return seen;
            for (cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
                if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                char text[INET_ADDRSTRLEN] = {};
                inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
                seen.insert(text);
            }
        }
    }

  private:
    int fd_ = -1;
    bool bound_ = false;
};

std::string describe(const std::set<std::string>& addresses) {
    std::string text = "{";
    for (const std::string& address : addresses)
        text += " " + address;
    return text + " }";
}

// --- the TCP listener -------------------------------------------------------

TEST(TcpListen, AcceptsConnectionsWithOrWithoutThePeerAddress) {
    SOCKET listener = tcpListen(0, 4);
    ASSERT_NE(listener, INVALID_SOCKET);
    EXPECT_TRUE(nonBlockingAndCloseOnExec(listener));
    const std::uint16_t port = localPort(listener);

    // Nothing pending: no socket, and no wait.
    std::uint32_t peer = 0xDEADBEEF;
    const auto start = Clock::now();
    EXPECT_EQ(tcpAccept(listener, &peer), INVALID_SOCKET);
    EXPECT_LT(msSince(start), 100);
    EXPECT_EQ(peer, 0xDEADBEEFu);
    EXPECT_EQ(tcpAccept(INVALID_SOCKET, &peer), INVALID_SOCKET);

    for (std::uint32_t* peerOut : {&peer, static_cast<std::uint32_t*>(nullptr)}) {
        std::string error;
        SOCKET client = tcpConnect("127.0.0.1", port, 2000, error);
        ASSERT_NE(client, INVALID_SOCKET) << error;
        waitReadable({listener}, 2000);
        SOCKET server = tcpAccept(listener, peerOut);
        ASSERT_NE(server, INVALID_SOCKET);
        if (peerOut != nullptr) {
            EXPECT_EQ(peer, loopbackAddress());
        }
        EXPECT_TRUE(nonBlockingAndCloseOnExec(server));
        int noDelay = 0;
        socklen_t length = sizeof noDelay;
        getsockopt(server, IPPROTO_TCP, TCP_NODELAY, &noDelay, &length);
        EXPECT_NE(noDelay, 0);

        Bytes out;
        const std::uint8_t ping[] = {'p', 'i', 'n', 'g'};
        ASSERT_TRUE(tcpSend(server, out, ping, sizeof ping));
        Bytes in;
        for (int i = 0; i < 100 && in.size() < sizeof ping; ++i) {
            waitReadable({client}, 20);
            ASSERT_TRUE(tcpReceive(client, in, 100));
        }
        EXPECT_EQ(in, Bytes(ping, ping + sizeof ping));
        closeSocket(server);
        closeSocket(client);
    }
    closeSocket(listener);
}

TEST(TcpListen, APortInUseIsLoggedWithTheSystemText) {
    SOCKET holder = tcpListen(0, 1);
    ASSERT_NE(holder, INVALID_SOCKET);
    const std::uint16_t port = localPort(holder);

    const std::size_t before = openDescriptors();
    testing::internal::CaptureStderr();
    const SOCKET second = tcpListen(port, 1);
    const std::string logged = testing::internal::GetCapturedStderr();
    EXPECT_EQ(second, INVALID_SOCKET);
    EXPECT_EQ(openDescriptors(), before);
    const std::string line =
        "net: cannot listen on port " + std::to_string(port) + ": " + socketErrorText(EADDRINUSE);
    EXPECT_NE(logged.find(line), std::string::npos) << logged;
    closeSocket(holder);
}

// --- UDP ------------------------------------------------------------------------

TEST(UdpBroadcast, InvalidSocketSendsNothing) {
    const std::uint8_t byte = 1;
    EXPECT_FALSE(udpBroadcast(INVALID_SOCKET, &byte, 1));
    Bytes data = {9};
    std::string from = "untouched";
    EXPECT_FALSE(udpReceive(INVALID_SOCKET, data, from));
    EXPECT_EQ(data, Bytes{9});
    EXPECT_EQ(from, "untouched");
}

TEST(UdpBroadcast, ReachesEachNetworkThatIsUpAndTheLocalMachine) {
    struct Case {
        const char* name;
        std::vector<std::string> setup;
        bool result;
        std::set<std::string> destinations;
    };
    // A default route makes the limited broadcast address deliverable, so a
    // send to it would be seen where it does not belong.
    const std::vector<std::string> twoNetworks = {
        "ip link set lo up",
        "ip link add qv0 type veth peer name qv1",
        "ip addr add 10.77.5.3/24 dev qv0",
        "ip link set qv0 up",
        "ip link set qv1 up",
        "ip link add qv2 type veth peer name qv3",
        "ip addr add 10.99.40.7/16 dev qv2",
        "ip link set qv2 up",
        "ip link set qv3 up",
        "ip route add default dev qv0",
    };
    const std::vector<std::string> downNetwork = {
        "ip link set lo up",
        "ip link add qv0 type veth peer name qv1",
        "ip addr add 10.77.5.3/24 dev qv0",
        "ip route add default dev lo",
    };
    const Case cases[] = {
        {"networks that are up", twoNetworks, true, {"10.77.5.255", "10.99.255.255", "127.0.0.1"}},
        {"only loopback and a network that is down",
         downNetwork,
         true,
         {"255.255.255.255", "127.0.0.1"}},
        {"only the local send gets through", {"ip link set lo up"}, true, {"127.0.0.1"}},
        {"no send gets through", {}, false, {}},
    };
    for (const Case& c : cases) {
        std::string failure;
        const bool ran = netns::inPrivateNetwork(
            c.setup,
            [&c] {
                DestinationRecorder recorder;
                if (!recorder.ready()) return std::string("no receiver on the broadcast port");
                SOCKET sender = udpOpenBroadcast();
                if (sender == INVALID_SOCKET) return std::string("no broadcast socket");
                const Bytes payload = {'h', 'e', 'l', 'l', 'o'};
                const bool result = udpBroadcast(sender, payload.data(), payload.size());
                closeSocket(sender);
                const std::set<std::string> seen = recorder.destinations();
                std::string report;
                if (result != c.result) report += "result " + std::to_string(result) + "; ";
                if (seen != c.destinations) report += "sent to " + describe(seen);
                return report;
            },
            failure);
        if (!ran) SKIP_WITHOUT_SETUP(failure);
        EXPECT_EQ(failure, "") << c.name;
    }
}

TEST(UdpReceive, TakesOneWholeDatagramAndItsSender) {
    std::string failure;
    const bool ran = netns::inPrivateNetwork(
        {"ip link set lo up"},
        [] {
            std::ostringstream report;
            SOCKET listener = udpOpenListener();
            if (listener == INVALID_SOCKET) return std::string("no listener");
            if (localPort(listener) != kBroadcastPort)
                report << "bound to " << localPort(listener) << "; ";
            if (!nonBlockingAndCloseOnExec(listener)) report << "listener blocks or is inherited; ";

            const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in target{};
            target.sin_family = AF_INET;
            target.sin_port = htons(kBroadcastPort);
            target.sin_addr.s_addr = loopbackAddress();
            const auto sendDatagram = [&](std::size_t size) {
                const Bytes datagram(size, static_cast<std::uint8_t>(size));
                sendto(sender, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&target), sizeof target);
                waitReadable({listener}, 1000);
            };

            Bytes data(1000, 0xEE);
            std::string from = "untouched";
            const auto expectNothing = [&](const char* what) {
                const Bytes dataBefore = data;
                const std::string fromBefore = from;
                if (udpReceive(listener, data, from)) report << what << " was delivered; ";
                if (data != dataBefore || from != fromBefore)
                    report << what << " changed the outputs; ";
            };
            expectNothing("nothing pending");

            // Replaced, not appended; the sender's address without its port.
            for (std::size_t size : {std::size_t{100}, std::size_t{512}}) {
                sendDatagram(size);
                if (!udpReceive(listener, data, from)) report << size << " bytes not delivered; ";
                if (data != Bytes(size, static_cast<std::uint8_t>(size)))
                    report << size << " bytes arrived as " << data.size() << "; ";
                if (from != "127.0.0.1") report << "from '" << from << "'; ";
            }

            // Too long or empty: dropped, and the next datagram still comes.
            for (std::size_t size : {std::size_t{600}, std::size_t{0}}) {
                sendDatagram(size);
                expectNothing(size == 0 ? "an empty datagram" : "a 600-byte datagram");
            }
            sendDatagram(100);
            if (!udpReceive(listener, data, from) || data.size() != 100)
                report << "a dropped datagram blocked the next one; ";
            close(sender);
            closeSocket(listener);
            return report.str();
        },
        failure);
    if (!ran) SKIP_WITHOUT_SETUP(failure);
    EXPECT_EQ(failure, "");
}

TEST(UdpReceive, ListenerHearsABroadcastOfTheSameMachine) {
    std::string failure;
    const bool ran = netns::inPrivateNetwork(
        {"ip link set lo up"},
        [] {
            std::string report;
            SOCKET listener = udpOpenListener();
            SOCKET sender = udpOpenBroadcast();
            if (listener == INVALID_SOCKET || sender == INVALID_SOCKET)
                return std::string("no sockets");
            int broadcast = 0;
            socklen_t length = sizeof broadcast;
            getsockopt(sender, SOL_SOCKET, SO_BROADCAST, &broadcast, &length);
            if (broadcast == 0) report += "broadcast not allowed on the sender; ";
            if (!nonBlockingAndCloseOnExec(sender)) report += "sender blocks or is inherited; ";

            const Bytes payload = {'c', 'o', 'r', 'v'};
            if (!udpBroadcast(sender, payload.data(), payload.size()))
                report += "broadcast failed; ";
            waitReadable({listener}, 1000);
            Bytes data;
            std::string from;
            if (!udpReceive(listener, data, from)) report += "nothing arrived; ";
            if (data != payload) report += "wrong bytes; ";
            if (from != "127.0.0.1") report += "from '" + from + "'; ";
            if (udpReceive(listener, data, from)) report += "more than one datagram; ";
            closeSocket(sender);
            closeSocket(listener);
            return report;
        },
        failure);
    if (!ran) SKIP_WITHOUT_SETUP(failure);
    EXPECT_EQ(failure, "");
}

} // namespace
} // namespace qv::launcher
