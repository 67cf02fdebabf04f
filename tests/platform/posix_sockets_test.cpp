// The BSD sockets layer against real loopback sockets: select's Winsock
// semantics on top of poll(), descriptors above 1024, failed connects and
// sends that must not raise SIGPIPE.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/platform.h"

using platform::kInvalidSocket;
using platform::SockAddr;
using platform::Socket;
using platform::SocketSet;

namespace {

constexpr long kGenerousWaitMicros = 5 * 1000 * 1000;

platform::Sockets& api() {
    return platform::nativeSockets();
}

// Closes the sockets a test made, on every path.
class SocketCloser {
public:
    ~SocketCloser() {
        for (Socket s : m_sockets)
            api().close(s);
    }
    Socket keep(Socket s) {
        m_sockets.push_back(s);
        return s;
    }
    void closeNow(Socket s) {
        for (auto it = m_sockets.begin(); it != m_sockets.end(); ++it) {
            if (*it == s) {
                m_sockets.erase(it);
                break;
            }
        }
        EXPECT_EQ(0, api().close(s));
    }

private:
    std::vector<Socket> m_sockets;
};

SockAddr loopback(std::uint16_t portNet = 0) {
    SockAddr a;
    a.family = platform::kAfInet;
    a.addr = platform::loopbackAddr();
    a.port = portNet;
    return a;
}

Socket listener(SocketCloser& closer, SockAddr& bound) {
    Socket s = kInvalidSocket;
    EXPECT_EQ(0, api().createTcp(s));
    closer.keep(s);
    EXPECT_EQ(0, api().bind(s, loopback()));
    EXPECT_EQ(0, api().listen(s, 16));
    EXPECT_EQ(0, api().getSockName(s, bound));
    return s;
}

struct Connection {
    Socket client = kInvalidSocket;
    Socket server = kInvalidSocket;
};

Connection connectedPair(SocketCloser& closer) {
    SockAddr bound;
    Socket l = listener(closer, bound);
    Connection c;
    EXPECT_EQ(0, api().createTcp(c.client));
    closer.keep(c.client);
    EXPECT_EQ(0, api().connect(c.client, bound));
    SockAddr peer;
    EXPECT_EQ(0, api().accept(l, c.server, &peer));
    closer.keep(c.server);
    EXPECT_EQ(platform::kAfInet, peer.family);
    EXPECT_EQ(platform::loopbackAddr(), peer.addr);
    return c;
}

// A port on 127.0.0.1 that nothing listens on: bound, then released.
SockAddr refusingAddress() {
    SocketCloser closer;
    SockAddr bound;
    Socket s = kInvalidSocket;
    EXPECT_EQ(0, api().createTcp(s));
    closer.keep(s);
    EXPECT_EQ(0, api().bind(s, loopback()));
    EXPECT_EQ(0, api().getSockName(s, bound));
    return bound;
}

int selectOne(SocketSet* r, SocketSet* w, SocketSet* e, long micros) {
    int ready = -1;
    EXPECT_EQ(0, api().select(r, w, e, micros, ready));
    return ready;
}

}  // namespace

TEST(PosixSockets, TransfersBytesAndReportsEndOfStreamAsReadable) {
    SocketCloser closer;
    Connection c = connectedPair(closer);
    ASSERT_EQ(0, api().setNoDelay(c.client));

    const std::uint8_t out[] = {1, 2, 3, 4, 5};
    int sent = 0;
    ASSERT_EQ(0, api().send(c.client, out, 5, sent));
    EXPECT_EQ(5, sent);

    SocketSet read;
    read.add(c.server);
    EXPECT_EQ(1, selectOne(&read, nullptr, nullptr, kGenerousWaitMicros));
    std::uint8_t in[16] = {};
    int received = 0;
    ASSERT_EQ(0, api().recv(c.server, in, sizeof in, received));
    ASSERT_EQ(5, received);
    EXPECT_EQ(0, std::memcmp(out, in, 5));

    // Nothing pending: the wait times out and the set is emptied.
    read.clear();
    read.add(c.server);
    EXPECT_EQ(0, selectOne(&read, nullptr, nullptr, 1000));
    EXPECT_TRUE(read.empty());

    ASSERT_EQ(0, api().shutdownSend(c.client));
    read.add(c.server);
    EXPECT_EQ(1, selectOne(&read, nullptr, nullptr, kGenerousWaitMicros));
    EXPECT_TRUE(read.contains(c.server));
    ASSERT_EQ(0, api().recv(c.server, in, sizeof in, received));
    EXPECT_EQ(0, received);
}

TEST(PosixSockets, SelectKeepsOnlyReadySocketsAndCountsEverySet) {
    SocketCloser closer;
    SockAddr bound;
    Socket l = listener(closer, bound);
    Connection idle = connectedPair(closer);

    // The listener becomes readable only when a connection is pending.
    SocketSet read;
    read.add(l);
    read.add(idle.server);
    EXPECT_EQ(0, selectOne(&read, nullptr, nullptr, 1000));

    Socket client = kInvalidSocket;
    ASSERT_EQ(0, api().createTcp(client));
    closer.keep(client);
    ASSERT_EQ(0, api().connect(client, bound));

    read.clear();
    read.add(idle.server);
    read.add(l);
    SocketSet write;
    write.add(idle.server);  // an idle connected socket can always be written
    EXPECT_EQ(2, selectOne(&read, &write, nullptr, kGenerousWaitMicros));
    ASSERT_EQ(1u, read.size());
    EXPECT_EQ(l, read.at(0));
    EXPECT_TRUE(write.contains(idle.server));

    Socket accepted = kInvalidSocket;
    ASSERT_EQ(0, api().accept(l, accepted, nullptr));
    closer.keep(accepted);
}

TEST(PosixSockets, SelectRejectsEmptyAndInvalidSets) {
    int ready = -1;
    SocketSet empty;
    EXPECT_EQ(platform::kWsaEInval, api().select(&empty, nullptr, nullptr, 0, ready));
    EXPECT_EQ(platform::kWsaEInval, api().select(nullptr, nullptr, nullptr, 0, ready));

    // A descriptor that is not open, as Winsock reports a non-socket.
    SocketSet closed;
    Socket s = kInvalidSocket;
    ASSERT_EQ(0, api().createTcp(s));
    ASSERT_EQ(0, api().close(s));
    closed.add(s);
    EXPECT_EQ(platform::kWsaENotSock, api().select(&closed, nullptr, nullptr, 0, ready));
}

TEST(PosixSockets, RefusedNonBlockingConnectAppearsOnlyInTheExceptSet) {
    SocketCloser closer;
    const SockAddr target = refusingAddress();
    Socket s = kInvalidSocket;
    ASSERT_EQ(0, api().createTcp(s));
    closer.keep(s);
    ASSERT_EQ(0, api().setNonBlocking(s));

    const int rc = api().connect(s, target);
    if (rc == platform::kWsaEConnRefused)
        GTEST_SKIP() << "refused at once by this kernel";
    ASSERT_EQ(platform::kWsaEWouldBlock, rc);

    SocketSet read, write, except;
    read.add(s);
    write.add(s);
    except.add(s);
    EXPECT_EQ(1, selectOne(&read, &write, &except, kGenerousWaitMicros));
    EXPECT_TRUE(read.empty());
    EXPECT_TRUE(write.empty());
    ASSERT_EQ(1u, except.size());

    int pending = 0;
    ASSERT_EQ(0, api().getSocketError(s, pending));
    EXPECT_EQ(platform::kWsaEConnRefused, pending);

    // Dead from now on: never readable or writable, and a wait over it lasts
    // its whole limit instead of returning at once with nothing ready.
    constexpr long kWaitMicros = 50000;
    read.add(s);
    write.add(s);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, selectOne(&read, &write, nullptr, kWaitMicros));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::microseconds(kWaitMicros));
}

TEST(PosixSockets, CompletedNonBlockingConnectIsWritableNotExceptional) {
    SocketCloser closer;
    SockAddr bound;
    Socket l = listener(closer, bound);
    Socket s = kInvalidSocket;
    ASSERT_EQ(0, api().createTcp(s));
    closer.keep(s);
    ASSERT_EQ(0, api().setNonBlocking(s));
    const int rc = api().connect(s, bound);
    ASSERT_TRUE(rc == 0 || rc == platform::kWsaEWouldBlock) << rc;

    SocketSet write, except;
    write.add(s);
    except.add(s);
    EXPECT_EQ(1, selectOne(nullptr, &write, &except, kGenerousWaitMicros));
    EXPECT_TRUE(write.contains(s));
    EXPECT_TRUE(except.empty());
    int pending = -1;
    ASSERT_EQ(0, api().getSocketError(s, pending));
    EXPECT_EQ(0, pending);

    // A non-blocking listener hands out non-blocking sockets, as Winsock does.
    ASSERT_EQ(0, api().setNonBlocking(l));
    Socket accepted = kInvalidSocket;
    ASSERT_EQ(0, api().accept(l, accepted, nullptr));
    closer.keep(accepted);
    std::uint8_t byte = 0;
    int received = 0;
    EXPECT_EQ(platform::kWsaEWouldBlock, api().recv(accepted, &byte, 1, received));
}

TEST(PosixSockets, ResetConnectionIsReadableNotExceptional) {
    SocketCloser closer;
    Connection c = connectedPair(closer);
    // Unread data at close makes the peer send a reset.
    const std::uint8_t data[] = {9};
    int sent = 0;
    ASSERT_EQ(0, api().send(c.client, data, 1, sent));
    SocketSet wait;
    wait.add(c.server);
    ASSERT_EQ(1, selectOne(&wait, nullptr, nullptr, kGenerousWaitMicros));
    closer.closeNow(c.server);

    SocketSet read, except;
    read.add(c.client);
    except.add(c.client);
    EXPECT_EQ(1, selectOne(&read, nullptr, &except, kGenerousWaitMicros));
    EXPECT_TRUE(read.contains(c.client));
    std::uint8_t buf[4];
    int received = 0;
    EXPECT_EQ(platform::kWsaEConnReset, api().recv(c.client, buf, sizeof buf, received));
}

namespace {
std::atomic<int> g_sigpipeCount{0};
void countSigpipe(int) {
    g_sigpipeCount.fetch_add(1);
}
}  // namespace

TEST(PosixSockets, SendAfterShutdownFailsWithoutRaisingSigpipe) {
    struct sigaction counting {};
    counting.sa_handler = countSigpipe;
    struct sigaction previous {};
    ASSERT_EQ(0, sigaction(SIGPIPE, &counting, &previous));
    g_sigpipeCount = 0;

    int rc = 0;
    {
        SocketCloser closer;
        Connection c = connectedPair(closer);
        ASSERT_EQ(0, api().shutdownSend(c.client));
        const std::uint8_t data[] = {1, 2, 3};
        int sent = -1;
        rc = api().send(c.client, data, 3, sent);
        EXPECT_EQ(0, sent);
    }
    sigaction(SIGPIPE, &previous, nullptr);
    EXPECT_NE(0, rc);
    EXPECT_EQ(0, g_sigpipeCount.load());
}

TEST(PosixSockets, SelectWorksWithDescriptorsAbove1024) {
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    const rlim_t wanted = 1200;
    if (limit.rlim_cur < wanted) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
            GTEST_SKIP() << "descriptor limit cannot be raised above 1024";
        }
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) != 0)
            GTEST_SKIP() << "setrlimit refused";
    }

    // Occupy the low descriptors so that the sockets land above 1024.
    std::vector<int> fillers;
    for (int i = 0; i < 1100; ++i) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            break;
        fillers.push_back(fd);
        if (fd > 1030)
            break;
    }
    {
        SocketCloser closer;
        Connection c = connectedPair(closer);
        ASSERT_GT(c.client, 1024u);
        ASSERT_GT(c.server, 1024u);

        const std::uint8_t data[] = {42};
        int sent = 0;
        ASSERT_EQ(0, api().send(c.client, data, 1, sent));
        SocketSet read, write;
        read.add(c.server);
        read.add(c.client);  // nothing to read here
        write.add(c.client);
        EXPECT_EQ(2, selectOne(&read, &write, nullptr, kGenerousWaitMicros));
        ASSERT_EQ(1u, read.size());
        EXPECT_EQ(c.server, read.at(0));
        EXPECT_TRUE(write.contains(c.client));
    }
    for (int fd : fillers)
        ::close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

TEST(PosixSockets, ResolvesDottedAddressesAndReportsUnknownNames) {
    std::vector<platform::AddrInfo> entries;
    ASSERT_EQ(0, api().getAddrInfo("127.0.0.1", entries));
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(platform::kAfInet, entries[0].family);
    EXPECT_EQ(platform::loopbackAddr(), entries[0].addr.addr);

    EXPECT_EQ(platform::kWsaHostNotFound, api().getAddrInfo("", entries));
}
