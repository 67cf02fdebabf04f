// The Winsock seam against real loopback sockets.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"

namespace {

using platform::kInvalidSocket;
using platform::SockAddr;
using platform::Socket;
using platform::SocketSet;

constexpr long kGenerousMicros = 10 * 1000 * 1000;

class Win32SocketsTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, net().startup()); }

    void TearDown() override {
        for (Socket s : m_open)
            net().close(s);
        EXPECT_EQ(0, net().cleanup());
    }

    static platform::Sockets& net() { return platform::nativeSockets(); }

    Socket make() {
        Socket s = kInvalidSocket;
        EXPECT_EQ(0, net().createTcp(s));
        if (s != kInvalidSocket)
            m_open.push_back(s);
        return s;
    }

    static SockAddr loopback(std::uint16_t netPort) {
        SockAddr a;
        a.family = platform::kAfInet;
        a.addr = platform::loopbackAddr();
        a.port = netPort;
        return a;
    }

    // A listening socket on 127.0.0.1 with a system-chosen port.
    Socket listener(SockAddr& bound) {
        const Socket s = make();
        EXPECT_EQ(0, net().bind(s, loopback(0)));
        EXPECT_EQ(0, net().listen(s, 5));
        EXPECT_EQ(0, net().getSockName(s, bound));
        return s;
    }

    // A port on 127.0.0.1 on which nothing listens.
    std::uint16_t unusedPort() {
        Socket s = kInvalidSocket;
        EXPECT_EQ(0, net().createTcp(s));
        EXPECT_EQ(0, net().bind(s, loopback(0)));
        SockAddr bound;
        EXPECT_EQ(0, net().getSockName(s, bound));
        net().close(s);
        return bound.port;
    }

    void connectPair(Socket& client, Socket& server, SockAddr* peer = nullptr) {
        SockAddr bound;
        const Socket l = listener(bound);
        client = make();
        ASSERT_EQ(0, net().connect(client, bound));
        ASSERT_EQ(0, net().accept(l, server, peer));
        m_open.push_back(server);
    }

    std::vector<Socket> m_open;
};

TEST_F(Win32SocketsTest, LoopbackPairCarriesBytesAndEndOfStream) {
    Socket client, server;
    SockAddr peer;
    connectPair(client, server, &peer);
    SockAddr clientName;
    ASSERT_EQ(0, net().getSockName(client, clientName));
    EXPECT_EQ(platform::kAfInet, peer.family);
    EXPECT_EQ(platform::loopbackAddr(), peer.addr);
    EXPECT_EQ(clientName.port, peer.port);
    EXPECT_EQ(0, net().setNoDelay(client));
    EXPECT_EQ(0, net().setReuseAddr(client));

    const std::uint8_t hello[] = {'h', 'e', 'l', 'l', 'o'};
    int sent = 0;
    ASSERT_EQ(0, net().send(client, hello, 5, sent));
    EXPECT_EQ(5, sent);
    ASSERT_EQ(0, net().shutdownSend(client));

    std::vector<std::uint8_t> got;
    for (int round = 0; round < 100; ++round) {
        std::uint8_t buffer[16];
        int received = -1;
        ASSERT_EQ(0, net().recv(server, buffer, sizeof(buffer), received));
        if (received == 0)
            break;
        got.insert(got.end(), buffer, buffer + received);
    }
    EXPECT_EQ(std::vector<std::uint8_t>(hello, hello + 5), got);
}

TEST_F(Win32SocketsTest, AcceptWithoutPeerAddressAndErrorsComeFromTheCall) {
    SockAddr bound;
    const Socket l = listener(bound);
    const Socket client = make();
    ASSERT_EQ(0, net().connect(client, bound));
    Socket server = kInvalidSocket;
    ASSERT_EQ(0, net().accept(l, server, nullptr));
    m_open.push_back(server);

    // Nothing to read on a non-blocking socket, and a second bind to a port
    // in use: both report their own Winsock numbers.
    ASSERT_EQ(0, net().setNonBlocking(server));
    std::uint8_t byte;
    int received = -1;
    EXPECT_EQ(platform::kWsaEWouldBlock, net().recv(server, &byte, 1, received));
    EXPECT_EQ(0, received);
    const Socket other = make();
    EXPECT_EQ(platform::kWsaEAddrInUse, net().bind(other, bound));
}

TEST_F(Win32SocketsTest, SelectHandlesFullSizeSets) {
    Socket client, server;
    connectPair(client, server);
    SocketSet read;
    // Idle sockets fill the set up to its capacity; the one with data comes
    // last, beyond anything a default-sized fd_set could hold.
    for (std::size_t i = 0; i + 1 < SocketSet::kCapacity; ++i) {
        Socket s = kInvalidSocket;
        const int rc = net().createTcp(s);
        if (rc != 0)
            GTEST_SKIP() << "only " << i << " sockets available, error " << rc;
        m_open.push_back(s);
        ASSERT_TRUE(read.add(s));
    }
    ASSERT_TRUE(read.add(server));
    ASSERT_EQ(SocketSet::kCapacity, read.size());

    const std::uint8_t byte = 0;
    int sent = 0;
    ASSERT_EQ(0, net().send(client, &byte, 1, sent));
    SocketSet write;
    write.add(client);
    int ready = 0;
    ASSERT_EQ(0, net().select(&read, &write, nullptr, kGenerousMicros, ready));
    EXPECT_EQ(2, ready);
    ASSERT_EQ(1u, read.size());
    EXPECT_EQ(server, read.at(0));
    ASSERT_EQ(1u, write.size());
    EXPECT_EQ(client, write.at(0));
}

TEST_F(Win32SocketsTest, SelectTimeoutLeavesEmptySets) {
    SockAddr bound;
    SocketSet read;
    read.add(listener(bound));
    int ready = -1;
    ASSERT_EQ(0, net().select(&read, nullptr, nullptr, 20 * 1000, ready));
    EXPECT_EQ(0, ready);
    EXPECT_TRUE(read.empty());
}

TEST_F(Win32SocketsTest, RefusedNonBlockingConnectShowsInExceptSet) {
    const SockAddr target = loopback(unusedPort());
    const Socket s = make();
    ASSERT_EQ(0, net().setNonBlocking(s));
    const int rc = net().connect(s, target);
    if (rc == platform::kWsaEConnRefused)
        GTEST_SKIP() << "refused at once, nothing to wait for";
    ASSERT_EQ(platform::kWsaEWouldBlock, rc);

    SocketSet write, except;
    int ready = 0;
    for (int round = 0; round < 3 && except.empty(); ++round) {
        write.clear();
        except.clear();
        write.add(s);
        except.add(s);
        ASSERT_EQ(0, net().select(nullptr, &write, &except, kGenerousMicros, ready));
    }
    ASSERT_TRUE(except.contains(s));
    EXPECT_TRUE(write.empty());
    int pending = 0;
    ASSERT_EQ(0, net().getSocketError(s, pending));
    EXPECT_EQ(platform::kWsaEConnRefused, pending);
}

TEST_F(Win32SocketsTest, ResolverReturnsIpv4ForDottedAddress) {
    std::vector<platform::AddrInfo> entries;
    ASSERT_EQ(0, net().getAddrInfo("127.0.0.1", entries));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(platform::kAfInet, entries[0].family);
    EXPECT_EQ(platform::loopbackAddr(), entries[0].addr.addr);
}

TEST_F(Win32SocketsTest, ResolverReportsUnknownHost) {
    std::vector<platform::AddrInfo> entries;
    EXPECT_EQ(platform::kWsaHostNotFound, net().getAddrInfo("no-such-host.invalid", entries));
    EXPECT_TRUE(entries.empty());
}

}  // namespace
