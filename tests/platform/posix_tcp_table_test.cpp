// The Linux TCP table against this process's own loopback sockets.
#ifdef __linux__

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <vector>

#include "gtest/gtest.h"
#include "platform/errors.h"
#include "platform/posix/inet_diag.h"
#include "platform/posix/posix_tcp_table.h"
#include "platform/posix/proc_net_tcp.h"
#include "tests/fakes/platform_fixture.h"
#include "userinfo/socket_owner.h"

namespace {

using platform::TcpOwnerHint;
using platform::TcpRowOwner;

class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    Fd& operator=(Fd&& other) noexcept {
        reset();
        m_fd = other.m_fd;
        other.m_fd = -1;
        return *this;
    }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

sockaddr_in localName(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    return addr;
}

// A listener on 127.0.0.1 and connections to it, both ends in this process.
class Loopback {
public:
    Loopback() : m_listener(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr));
        EXPECT_EQ(0, ::listen(m_listener.get(), 16));
        m_listenAddr = localName(m_listener.get());
    }

    struct Connection {
        Fd client;
        Fd accepted;
        sockaddr_in clientAddr{};
    };

    Connection connect() {
        Connection c;
        c.client = Fd(::socket(AF_INET, SOCK_STREAM, 0));
        EXPECT_EQ(0, ::connect(c.client.get(), reinterpret_cast<const sockaddr*>(&m_listenAddr),
                               sizeof m_listenAddr));
        c.accepted = Fd(::accept(m_listener.get(), nullptr, nullptr));
        EXPECT_GE(c.accepted.get(), 0);
        c.clientAddr = localName(c.client.get());
        return c;
    }

    // The browser's row: local end the client, remote end the listener.
    TcpOwnerHint hintFor(const Connection& c) const { return hintFor(c.clientAddr.sin_port); }
    TcpOwnerHint hintFor(std::uint16_t clientPort) const {
        TcpOwnerHint hint;
        std::memcpy(hint.localAddr.data(), &m_listenAddr.sin_addr.s_addr, 4);
        hint.localPort = clientPort;
        std::memcpy(hint.remoteAddr.data(), &m_listenAddr.sin_addr.s_addr, 4);
        hint.remotePort = m_listenAddr.sin_port;
        return hint;
    }
    const sockaddr_in& listenAddr() const { return m_listenAddr; }
    int listenerFd() const { return m_listener.get(); }

private:
    Fd m_listener;
    sockaddr_in m_listenAddr{};
};

template <typename Row>
std::vector<Row> rowsOf(const std::vector<std::uint8_t>& buffer, std::uint32_t size) {
    std::uint32_t count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    EXPECT_EQ(size, sizeof count + count * sizeof(Row));
    std::vector<Row> rows(count);
    if (count > 0)
        std::memcpy(rows.data(), buffer.data() + sizeof count, count * sizeof rows[0]);
    return rows;
}

// Size query and fetch, as the owner lookup does them.
template <typename Row = TcpRowOwner>
std::vector<Row> fetchTable(platform::TcpTable& table, const TcpOwnerHint* hint,
                            std::uint16_t family = platform::kAfInet) {
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(family, nullptr, size, hint));
    std::vector<std::uint8_t> buffer;
    std::uint32_t rc = platform::kErrorInsufficientBuffer;
    for (int round = 0; round < 10 && rc == platform::kErrorInsufficientBuffer; ++round) {
        buffer.resize(size);
        rc = table.getExtendedTcpTable(family, buffer.data(), size, hint);
    }
    EXPECT_EQ(platform::kErrorSuccess, rc);
    return rowsOf<Row>(buffer, size);
}

bool sameEnds(const TcpRowOwner& row, const TcpOwnerHint& h, bool swapped) {
    const auto& local = swapped ? h.remoteAddr : h.localAddr;
    const auto& remote = swapped ? h.localAddr : h.remoteAddr;
    return std::memcmp(&row.localAddr, local.data(), 4) == 0 &&
           std::memcmp(&row.remoteAddr, remote.data(), 4) == 0 &&
           row.localPort == (swapped ? h.remotePort : h.localPort) &&
           row.remotePort == (swapped ? h.localPort : h.remotePort);
}

const TcpRowOwner* clientRow(const std::vector<TcpRowOwner>& rows, const TcpOwnerHint& h) {
    for (const auto& row : rows) {
        if (sameEnds(row, h, false))
            return &row;
    }
    return nullptr;
}

const TcpRowOwner* acceptedRow(const std::vector<TcpRowOwner>& rows, const TcpOwnerHint& h) {
    for (const auto& row : rows) {
        if (sameEnds(row, h, true))
            return &row;
    }
    return nullptr;
}

platform::SockAddr toSockAddr(const sockaddr_in& in) {
    platform::SockAddr out;
    out.family = platform::kAfInet;
    out.port = in.sin_port;
    out.addr = in.sin_addr.s_addr;
    return out;
}

const std::uint32_t kOwnUid = static_cast<std::uint32_t>(::geteuid());
constexpr std::uint32_t kMibEstablished = 5;

// With a hint the table holds only what can match it: the browser's row,
// with its owner, and neither the accepted end nor the listener. A socket
// that nobody holds any more has no owner, and so no row.
TEST(PosixTcpTableTest, HintedLookupListsOnlyTheRowThatCanMatchWithItsCreator) {
    for (bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "sock_diag" : "/proc/net/tcp");
        platform::PosixTcpTable table;
        table.m_useNetlink = netlink;
        Loopback net;
        const auto conn = net.connect();
        const TcpOwnerHint hint = net.hintFor(conn);
        const auto rows = fetchTable(table, &hint);
        ASSERT_EQ(1u, rows.size());
        ASSERT_NE(nullptr, clientRow(rows, hint));
        EXPECT_EQ(kOwnUid, rows[0].owner);
        EXPECT_EQ(kMibEstablished, rows[0].state);

        Loopback::Connection closed = net.connect();
        const TcpOwnerHint closedHint = net.hintFor(closed);
        closed.client.reset();
        closed.accepted.reset();
        EXPECT_TRUE(fetchTable(table, &closedHint).empty());
    }
}

TEST(PosixTcpTableTest, MissingSourcesOrAnUnknownFamilyFailWithAnError) {
    platform::PosixTcpTable table;
    table.m_useNetlink = false;
    table.m_procNetTcpPath = "/nonexistent/tcp";
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorFileNotFound,
              table.getExtendedTcpTable(platform::kAfInet, nullptr, size, nullptr));
    EXPECT_EQ(platform::kErrorInvalidParameter,
              table.getExtendedTcpTable(7, nullptr, size, nullptr));
}

TEST(PosixTcpTableTest, WithoutHintEveryHeldSocketHasItsOwner) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    const auto rows = fetchTable(table, nullptr);
    ASSERT_NE(nullptr, clientRow(rows, hint));
    ASSERT_NE(nullptr, acceptedRow(rows, hint));
    EXPECT_EQ(kOwnUid, clientRow(rows, hint)->owner);
    EXPECT_EQ(kOwnUid, acceptedRow(rows, hint)->owner);
}

TEST(PosixTcpTableTest, FetchUsesTheRowsOfTheSizeQuery) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto first = net.connect();
    const TcpOwnerHint firstHint = net.hintFor(first);
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(platform::kAfInet, nullptr, size, &firstHint));
    const std::uint32_t queried = size;

    // Opened after the size query: the fetch must not read the table again.
    const auto second = net.connect();
    const TcpOwnerHint secondHint = net.hintFor(second);
    std::vector<std::uint8_t> buffer(queried + 64 * sizeof(TcpRowOwner));
    size = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(platform::kErrorSuccess,
              table.getExtendedTcpTable(platform::kAfInet, buffer.data(), size, &firstHint));
    EXPECT_EQ(queried, size);
    const auto rows = rowsOf<TcpRowOwner>(buffer, size);
    ASSERT_NE(nullptr, clientRow(rows, firstHint));
    EXPECT_EQ(nullptr, clientRow(rows, secondHint));

    // The snapshot is spent: the next lookup sees the new connection.
    const auto fresh = fetchTable(table, &secondHint);
    ASSERT_NE(nullptr, clientRow(fresh, secondHint));
}

TEST(PosixTcpTableTest, TooSmallBufferReportsTheSizeNeededAndThenFits) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(platform::kAfInet, nullptr, size, &hint));
    ASSERT_GE(size, 4u + sizeof(TcpRowOwner));
    std::vector<std::uint8_t> buffer(size - 1, 0xEE);
    std::uint32_t smaller = size - 1;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(platform::kAfInet, buffer.data(), smaller, &hint));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "nothing is written into a buffer that is too small";
    buffer.resize(smaller);
    std::uint32_t fetched = smaller;
    ASSERT_EQ(platform::kErrorSuccess,
              table.getExtendedTcpTable(platform::kAfInet, buffer.data(), fetched, &hint));
    EXPECT_EQ(smaller, fetched);
}

TEST(PosixTcpTableTest, SizeQuerySnapshotBelongsToItsThread) {
    platform::PosixTcpTable table;
    Loopback net;
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(platform::kAfInet, nullptr, size, nullptr));
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);

    bool found = false;
    std::thread other([&] {
        // A fetch straight away on another thread reads the table itself.
        std::vector<std::uint8_t> buffer(1 << 20);
        std::uint32_t otherSize = static_cast<std::uint32_t>(buffer.size());
        if (table.getExtendedTcpTable(platform::kAfInet, buffer.data(), otherSize, &hint) ==
            platform::kErrorSuccess)
            found = clientRow(rowsOf<TcpRowOwner>(buffer, otherSize), hint) != nullptr;
    });
    other.join();
    EXPECT_TRUE(found);
}

// A connection to the IPv4 listener from an IPv6 socket, through
// IPv4-mapped addresses: found by the IPv4 lookup and in the IPv6 table.
TEST(PosixTcpTableTest, AnIpv6SocketCarryingIpv4IsFoundBothWays) {
    Loopback net;
    Fd client(::socket(AF_INET6, SOCK_STREAM, 0));
    if (client.get() < 0)
        GTEST_SKIP() << "no IPv6 sockets here";
    sockaddr_in6 to{};
    to.sin6_family = AF_INET6;
    to.sin6_port = net.listenAddr().sin_port;
    to.sin6_addr.s6_addr[10] = 0xFF;
    to.sin6_addr.s6_addr[11] = 0xFF;
    std::memcpy(&to.sin6_addr.s6_addr[12], &net.listenAddr().sin_addr.s_addr, 4);
    ASSERT_EQ(0, ::connect(client.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to));
    sockaddr_in6 from{};
    socklen_t len = sizeof from;
    ASSERT_EQ(0, ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&from), &len));
    const TcpOwnerHint hint = net.hintFor(from.sin6_port);
    TcpOwnerHint mapped = hint;
    std::memcpy(mapped.localAddr.data(), to.sin6_addr.s6_addr, 16);
    std::memcpy(mapped.remoteAddr.data(), to.sin6_addr.s6_addr, 16);

    for (bool netlink : {true, false}) {
        SCOPED_TRACE(netlink ? "sock_diag" : "/proc/net/tcp6");
        platform::PosixTcpTable table;
        table.m_useNetlink = netlink;
        const auto rows = fetchTable(table, &hint);
        ASSERT_EQ(1u, rows.size());
        EXPECT_EQ(kOwnUid, rows[0].owner);
        const auto rows6 = fetchTable<platform::Tcp6RowOwner>(table, &mapped, platform::kAfInet6);
        ASSERT_EQ(1u, rows6.size());
        EXPECT_EQ(kOwnUid, rows6[0].owner);
        EXPECT_EQ(0, std::memcmp(rows6[0].localAddr, mapped.localAddr.data(), 16));
    }
    RecordingPlatform recording;
    platform::SockAddr clientAddr = toSockAddr(net.listenAddr());
    clientAddr.port = from.sin6_port;
    platform::SocketOwner owner = 1;
    EXPECT_TRUE(getClientSocketPID(toSockAddr(net.listenAddr()), clientAddr, owner));
    EXPECT_EQ(kOwnUid, owner);
}

// Sends a descriptor over a local socket.
bool passDescriptor(int channel, int fd) {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
    return ::sendmsg(channel, &message, 0) == 1;
}

int receiveDescriptor(int channel) {
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (::recvmsg(channel, &message, 0) != 1)
        return -1;
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header == nullptr || header->cmsg_type != SCM_RIGHTS)
        return -1;
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
    return fd;
}

// The owner is who made the socket, whoever holds it now: a socket made by
// another user and handed to this process (its maker has gone) is still that
// user's, never this process's.
TEST(PosixTcpTableTest, TheOwnerIsTheMakerNotTheHolder) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to make a socket as another user";
    constexpr uid_t kMaker = 4242;
    Loopback net;
    int channel[2];
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, channel));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(channel[0]);
        int sock = -1;
        if (::setgid(kMaker) == 0 && ::setuid(kMaker) == 0)
            sock = ::socket(AF_INET, SOCK_STREAM, 0);
        const bool ok = sock >= 0 &&
                        ::connect(sock, reinterpret_cast<const sockaddr*>(&net.listenAddr()),
                                  sizeof(sockaddr_in)) == 0 &&
                        passDescriptor(channel[1], sock);
        ::_exit(ok ? 0 : 1);
    }
    ::close(channel[1]);
    Fd held(receiveDescriptor(channel[0]));
    ::close(channel[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_GE(held.get(), 0);
    Fd accepted(::accept(net.listenerFd(), nullptr, nullptr));
    const TcpOwnerHint hint = net.hintFor(localName(held.get()).sin_port);
    for (bool netlink : {true, false}) {
        platform::PosixTcpTable table;
        table.m_useNetlink = netlink;
        const auto rows = fetchTable(table, &hint);
        ASSERT_EQ(1u, rows.size());
        EXPECT_EQ(static_cast<std::uint32_t>(kMaker), rows[0].owner)
            << (netlink ? "sock_diag" : "/proc/net/tcp");
    }
}

TEST(TcpSocketSourcesTest, ExactQueryFindsOnlyTheExactConnection) {
    Loopback net;
    const auto conn = net.connect();
    struct stat st;
    ASSERT_EQ(0, ::fstat(conn.client.get(), &st));
    const TcpOwnerHint hint = net.hintFor(conn);

    platform::posix::TcpSocketEntry entry;
    bool found = false;
    ASSERT_EQ(0, platform::posix::queryTcpSocket(platform::kAfInet, hint, entry, found));
    ASSERT_TRUE(found);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_ino), entry.inode);
    EXPECT_EQ(kMibEstablished, entry.state);
    EXPECT_EQ(kOwnUid, entry.uid);

    // The listener's own address with a peer that never connected: the
    // kernel may offer the listener, which is not this connection.
    TcpOwnerHint stranger = hint;
    stranger.localPort = hint.remotePort;
    stranger.remotePort = htons(1);
    ASSERT_EQ(0, platform::posix::queryTcpSocket(platform::kAfInet, stranger, entry, found));
    EXPECT_FALSE(found);
    TcpOwnerHint wide = hint;
    wide.localPort |= 0x10000;
    ASSERT_EQ(0, platform::posix::queryTcpSocket(platform::kAfInet, wide, entry, found));
    EXPECT_FALSE(found);
}

TEST(TcpSocketSourcesTest, ParsesProcNetTcpAndTcp6Lines) {
    std::istringstream text(
        "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  "
        "timeout inode\n"
        "   0: 0100007F:1F90 00000000:0000 0A 00000000:00000000 00:00000000 00000000     0    "
        "    0 4242 1 0000000000000000 100 0 0 10 0\n"
        "   1: 0100007F:D431 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000    "
        "    0 99999999999 1 0000000000000000 20 4 30 10 -1\n"
        "   2: 0100007F:D432 0100007F:1F90 06 00000000:00000000 03:00000F9E 00000000     0    "
        "    0 0 3 0000000000000000\n"
        "   3: 0100007F:1F9 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000 0 7\n"
        "   4: 0100007G:1F90 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000 0 7\n"
        "   5: 0100007F:1F90\n");
    std::vector<platform::posix::TcpSocketEntry> entries;
    platform::posix::parseProcNetTcp(text, platform::kAfInet, entries);
    ASSERT_EQ(3u, entries.size()) << "header, short port, bad hex and truncated lines skipped";
    const std::array<std::uint8_t, 16> loopback{127, 0, 0, 1};
    EXPECT_EQ(loopback, entries[0].localAddr);
    EXPECT_EQ(std::uint32_t{htons(8080)}, entries[0].localPort);
    EXPECT_EQ(2u, entries[0].state);  // LISTEN
    EXPECT_EQ(4242u, entries[0].inode);
    EXPECT_EQ(std::uint32_t{htons(0xD431)}, entries[1].localPort);
    EXPECT_EQ(loopback, entries[1].remoteAddr);
    EXPECT_EQ(kMibEstablished, entries[1].state);
    EXPECT_EQ(1000u, entries[1].uid);
    EXPECT_EQ(99999999999u, entries[1].inode);
    EXPECT_EQ(11u, entries[2].state);  // TIME_WAIT
    EXPECT_EQ(0u, entries[2].inode);

    // ::1 port 8080 from ::ffff:127.0.0.1, as /proc/net/tcp6 prints them.
    std::istringstream text6(
        "   0: 00000000000000000000000001000000:1F90 0000000000000000FFFF00000100007F:D431 01 "
        "00000000:00000000 00:00000000 00000000  1000        0 77 1\n"
        "   1: 0000000000000000000000000100000:1F90 00000000000000000000000001000000:D431 01 "
        "00000000:00000000 00:00000000 00000000  1000        0 77 1\n");
    entries.clear();
    platform::posix::parseProcNetTcp(text6, platform::kAfInet6, entries);
    ASSERT_EQ(1u, entries.size()) << "a short address is skipped";
    EXPECT_EQ(platform::kAfInet6, entries[0].family);
    const std::array<std::uint8_t, 16> v6Loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const std::array<std::uint8_t, 16> mapped{0, 0, 0,    0,    0,   0, 0, 0,
                                              0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    EXPECT_EQ(v6Loopback, entries[0].localAddr);
    EXPECT_EQ(mapped, entries[0].remoteAddr);
    EXPECT_EQ(1000u, entries[0].uid);
}

TEST(TcpSocketSourcesTest, MapsLinuxStates) {
    using platform::posix::mibStateFromLinux;
    const std::uint32_t expected[] = {1, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
    for (unsigned s = 0; s < sizeof expected / sizeof expected[0]; ++s)
        EXPECT_EQ(expected[s], mibStateFromLinux(s)) << "linux state " << s;
    EXPECT_EQ(1u, mibStateFromLinux(200));
}

}  // namespace

#endif  // __linux__
