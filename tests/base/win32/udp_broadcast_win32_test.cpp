// Where a UDP broadcast goes, seen by a receiver that learns each datagram's destination address.
// A broadcast reaches every network the machine is on, so these cases run only inside a private
// network that in_private_network.sh makes (with a wineserver of its own, since wine opens its
// sockets in the server): CORVANTHE_PRIVATE_NETWORK names its layout, "loopback" for loopback
// alone, or "veth" for loopback and one interface 10.77.1.5/24.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>
#undef INVALID_SOCKET

#include "../../support/setup_skip.h"
#include "base/net.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>

namespace qv::launcher {
namespace {

// Every destination address that reaches the receiver until it stays quiet for a while.
std::set<std::string> destinations(SOCKET receiver) {
    LPFN_WSARECVMSG receiveMessage = nullptr;
    GUID id = WSAID_WSARECVMSG;
    DWORD length = 0;
    std::set<std::string> seen;
    if (WSAIoctl(receiver, SIO_GET_EXTENSION_FUNCTION_POINTER, &id, sizeof id, &receiveMessage,
                 sizeof receiveMessage, &length, nullptr, nullptr) != 0) {
        ADD_FAILURE() << "no WSARecvMsg";
        return seen;
    }
    for (;;) {
        waitReadable({receiver}, 500);
        char data[1024];
        char control[256];
        WSABUF part{sizeof data, data};
        WSAMSG message{};
        message.lpBuffers = &part;
        message.dwBufferCount = 1;
        message.Control = WSABUF{sizeof control, control};
        DWORD received = 0;
        if (receiveMessage(receiver, &message, &received, nullptr, nullptr) != 0) return seen;
        for (WSACMSGHDR* c = WSA_CMSG_FIRSTHDR(&message); c != nullptr;
             c = WSA_CMSG_NXTHDR(&message, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_PKTINFO) continue;
            IN_PKTINFO info;
            std::memcpy(&info, WSA_CMSG_DATA(c), sizeof info);
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &info.ipi_addr, text, sizeof text);
            seen.insert(text);
        }
    }
}

TEST(UdpBroadcast, GoesToEachNetworkOrTheLimitedAddressAndToThisMachine) {
    const char* network = std::getenv("CORVANTHE_PRIVATE_NETWORK");
    if (network == nullptr)
        SKIP_WITHOUT_SETUP(
            "runs only inside a private network (tests/base/win32/in_private_network.sh)");
    const std::set<std::string> expected = std::string(network) == "veth"
                                               ? std::set<std::string>{"10.77.1.255", "127.0.0.1"}
                                               // The limited broadcast has no route there; the
                                               // local send alone makes the broadcast a success.
                                               : std::set<std::string>{"127.0.0.1"};

    SOCKET receiver = udpOpenListener();
    ASSERT_NE(receiver, INVALID_SOCKET);
    const DWORD on = 1;
    ASSERT_EQ(
        setsockopt(receiver, IPPROTO_IP, IP_PKTINFO, reinterpret_cast<const char*>(&on), sizeof on),
        0);
    SOCKET sender = udpOpenBroadcast();
    ASSERT_NE(sender, INVALID_SOCKET);
    const char hello[] = "hello";
    EXPECT_TRUE(udpBroadcast(sender, hello, sizeof hello));
    EXPECT_EQ(destinations(receiver), expected);

    // What a plain receive hands on: the bytes and the sender's address.
    EXPECT_TRUE(udpBroadcast(sender, hello, sizeof hello));
    std::vector<std::uint8_t> data;
    std::string from;
    waitReadable({receiver}, 5000);
    ASSERT_TRUE(udpReceive(receiver, data, from));
    EXPECT_EQ(data, std::vector<std::uint8_t>(hello, hello + sizeof hello));
    EXPECT_TRUE(from == "127.0.0.1" || from == "10.77.1.5") << from;
    closeSocket(sender);
    closeSocket(receiver);
}

} // namespace
} // namespace qv::launcher
