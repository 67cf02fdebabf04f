// The Linux TCP table against this process's own loopback sockets.
#ifdef __linux__

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <sstream>
#include <thread>
#include <unordered_map>
#include <vector>

#include "gtest/gtest.h"
#include "platform/errors.h"
#include "platform/posix/inet_diag.h"
#include "platform/posix/posix_tcp_table.h"
#include "platform/posix/proc_fd_owner.h"
#include "platform/posix/proc_net_tcp.h"
#include "tests/fakes/platform_fixture.h"
#include "userinfo/socket_owner.h"

namespace {

using platform::TcpOwnerHint;
using platform::TcpRowOwnerPid;

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
    TcpOwnerHint hintFor(const Connection& c) const {
        return TcpOwnerHint{c.clientAddr.sin_addr.s_addr, c.clientAddr.sin_port,
                            m_listenAddr.sin_addr.s_addr, m_listenAddr.sin_port};
    }
    const sockaddr_in& listenAddr() const { return m_listenAddr; }

private:
    Fd m_listener;
    sockaddr_in m_listenAddr{};
};

std::vector<TcpRowOwnerPid> rowsOf(const std::vector<std::uint8_t>& buffer, std::uint32_t size) {
    std::uint32_t count = 0;
    std::memcpy(&count, buffer.data(), sizeof count);
    EXPECT_EQ(size, sizeof count + count * sizeof(TcpRowOwnerPid));
    std::vector<TcpRowOwnerPid> rows(count);
    if (count > 0)
        std::memcpy(rows.data(), buffer.data() + sizeof count, count * sizeof rows[0]);
    return rows;
}

// Size query and fetch, as the owner lookup does them.
std::vector<TcpRowOwnerPid> fetchTable(platform::TcpTable& table, const TcpOwnerHint* hint) {
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorInsufficientBuffer, table.getExtendedTcpTable(nullptr, size, hint));
    std::vector<std::uint8_t> buffer;
    std::uint32_t rc = platform::kErrorInsufficientBuffer;
    for (int round = 0; round < 10 && rc == platform::kErrorInsufficientBuffer; ++round) {
        buffer.resize(size);
        rc = table.getExtendedTcpTable(buffer.data(), size, hint);
    }
    EXPECT_EQ(platform::kErrorSuccess, rc);
    return rowsOf(buffer, size);
}

const TcpRowOwnerPid* findRow(const std::vector<TcpRowOwnerPid>& rows, std::uint32_t localAddr,
                              std::uint32_t localPort, std::uint32_t remoteAddr,
                              std::uint32_t remotePort) {
    for (const auto& row : rows) {
        if (row.localAddr == localAddr && row.localPort == localPort &&
            row.remoteAddr == remoteAddr && row.remotePort == remotePort)
            return &row;
    }
    return nullptr;
}

const TcpRowOwnerPid* clientRow(const std::vector<TcpRowOwnerPid>& rows, const TcpOwnerHint& h) {
    return findRow(rows, h.localAddr, h.localPort, h.remoteAddr, h.remotePort);
}

const TcpRowOwnerPid* acceptedRow(const std::vector<TcpRowOwnerPid>& rows, const TcpOwnerHint& h) {
    return findRow(rows, h.remoteAddr, h.remotePort, h.localAddr, h.localPort);
}

platform::SockAddrIn toSockAddrIn(const sockaddr_in& in) {
    platform::SockAddrIn out;
    out.family = platform::kAfInet;
    out.port = in.sin_port;
    out.addr = in.sin_addr.s_addr;
    return out;
}

const std::uint32_t kOwnPid = static_cast<std::uint32_t>(::getpid());
constexpr std::uint32_t kMibListen = 2;
constexpr std::uint32_t kMibEstablished = 5;

// With a hint the table holds only what can match it: the browser's row,
// with its owner, and neither the accepted end nor the listener.
void expectOnlyTheHintedRow(platform::TcpTable& table) {
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    const auto rows = fetchTable(table, &hint);
    ASSERT_EQ(1u, rows.size());
    const TcpRowOwnerPid* browser = clientRow(rows, hint);
    ASSERT_NE(nullptr, browser);
    EXPECT_EQ(kOwnPid, browser->owningPid);
    EXPECT_EQ(kMibEstablished, browser->state);

    // Gone: no row at all, not a stale one.
    Loopback::Connection closed = net.connect();
    const TcpOwnerHint closedHint = net.hintFor(closed);
    closed.client.reset();
    closed.accepted.reset();
    for (const TcpRowOwnerPid& row : fetchTable(table, &closedHint)) {
        EXPECT_EQ(0u, row.owningPid);
        EXPECT_NE(kMibEstablished, row.state);
    }
}

TEST(PosixTcpTableTest, HintedLookupListsOnlyTheRowThatCanMatch) {
    platform::PosixTcpTable table;
    expectOnlyTheHintedRow(table);
}

TEST(PosixTcpTableTest, ProcNetTcpFallbackGivesTheSameRows) {
    platform::PosixTcpTable table;
    table.m_useNetlink = false;
    expectOnlyTheHintedRow(table);
}

TEST(PosixTcpTableTest, MissingSourcesFailWithAnError) {
    platform::PosixTcpTable table;
    table.m_useNetlink = false;
    table.m_procNetTcpPath = "/nonexistent/tcp";
    std::uint32_t size = 0;
    EXPECT_EQ(platform::kErrorFileNotFound, table.getExtendedTcpTable(nullptr, size, nullptr));
}

TEST(PosixTcpTableTest, WithoutHintEveryHeldSocketHasItsOwner) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    const auto rows = fetchTable(table, nullptr);
    ASSERT_NE(nullptr, clientRow(rows, hint));
    ASSERT_NE(nullptr, acceptedRow(rows, hint));
    EXPECT_EQ(kOwnPid, clientRow(rows, hint)->owningPid);
    EXPECT_EQ(kOwnPid, acceptedRow(rows, hint)->owningPid);
}

TEST(PosixTcpTableTest, ClosedClientRowHasNoOwner) {
    platform::PosixTcpTable table;
    Loopback net;
    auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    conn.client.reset();  // orphaned: no process holds it any more
    const auto rows = fetchTable(table, &hint);
    const TcpRowOwnerPid* browser = clientRow(rows, hint);
    if (browser != nullptr) {
        EXPECT_EQ(0u, browser->owningPid);
        EXPECT_NE(kMibEstablished, browser->state);
    }
}

TEST(PosixTcpTableTest, FetchUsesTheRowsOfTheSizeQuery) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto first = net.connect();
    const TcpOwnerHint firstHint = net.hintFor(first);
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(nullptr, size, &firstHint));
    const std::uint32_t queried = size;

    // Opened after the size query: the fetch must not dump the table again.
    const auto second = net.connect();
    const TcpOwnerHint secondHint = net.hintFor(second);
    std::vector<std::uint8_t> buffer(queried + 64 * sizeof(TcpRowOwnerPid));
    size = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(platform::kErrorSuccess, table.getExtendedTcpTable(buffer.data(), size, &firstHint));
    EXPECT_EQ(queried, size);
    const auto rows = rowsOf(buffer, size);
    ASSERT_NE(nullptr, clientRow(rows, firstHint));
    EXPECT_EQ(kOwnPid, clientRow(rows, firstHint)->owningPid);
    EXPECT_EQ(nullptr, clientRow(rows, secondHint));

    // The snapshot is spent: the next lookup sees the new connection.
    const auto fresh = fetchTable(table, &secondHint);
    ASSERT_NE(nullptr, clientRow(fresh, secondHint));
    EXPECT_EQ(kOwnPid, clientRow(fresh, secondHint)->owningPid);
}

TEST(PosixTcpTableTest, TooSmallBufferReportsTheSizeNeededAndThenFits) {
    platform::PosixTcpTable table;
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer, table.getExtendedTcpTable(nullptr, size, &hint));
    ASSERT_GE(size, 4u + sizeof(TcpRowOwnerPid));
    std::vector<std::uint8_t> buffer(size - 1, 0xEE);
    std::uint32_t smaller = size - 1;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(buffer.data(), smaller, &hint));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }))
        << "nothing is written into a buffer that is too small";
    buffer.resize(smaller);
    std::uint32_t fetched = smaller;
    ASSERT_EQ(platform::kErrorSuccess, table.getExtendedTcpTable(buffer.data(), fetched, &hint));
    EXPECT_EQ(smaller, fetched);
}

TEST(PosixTcpTableTest, SizeQuerySnapshotBelongsToItsThread) {
    platform::PosixTcpTable table;
    Loopback net;
    std::uint32_t size = 0;
    ASSERT_EQ(platform::kErrorInsufficientBuffer,
              table.getExtendedTcpTable(nullptr, size, nullptr));
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);

    std::uint32_t owner = 0;
    std::thread other([&] {
        // A fetch straight away on another thread dumps the table itself.
        std::vector<std::uint8_t> buffer(1 << 20);
        std::uint32_t otherSize = static_cast<std::uint32_t>(buffer.size());
        if (table.getExtendedTcpTable(buffer.data(), otherSize, &hint) != platform::kErrorSuccess)
            return;
        const auto rows = rowsOf(buffer, otherSize);
        if (const TcpRowOwnerPid* row = clientRow(rows, hint))
            owner = row->owningPid;
    });
    other.join();
    EXPECT_EQ(kOwnPid, owner);
}

// Out of descriptors the table cannot be read, and says so, rather than
// listing the connection without an owner: also when what the lookups keep
// open is there, and only the owner search lacks a descriptor.
TEST(PosixTcpTableTest, NoFreeDescriptorIsAnError) {
    Loopback net;
    const auto conn = net.connect();
    const TcpOwnerHint hint = net.hintFor(conn);
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    platform::PosixTcpTable table;
    std::uint32_t warm = 0;
    std::uint32_t full = 0;
    std::thread([&] {
        std::uint32_t size = 0;
        warm = table.getExtendedTcpTable(nullptr, size, &hint);
        const int lowestFree = ::dup(0);
        ::close(lowestFree);
        rlimit none = saved;
        none.rlim_cur = static_cast<rlim_t>(lowestFree);
        if (::setrlimit(RLIMIT_NOFILE, &none) == 0)
            full = table.getExtendedTcpTable(nullptr, size, &hint);
        ::setrlimit(RLIMIT_NOFILE, &saved);
    }).join();
    EXPECT_EQ(platform::kErrorInsufficientBuffer, warm);
    EXPECT_EQ(4u, full);  // ERROR_TOO_MANY_OPEN_FILES
}

TEST(PosixTcpTableTest, OwnerLookupFindsThisProcess) {
    RecordingPlatform recording;
    Loopback net;
    const auto conn = net.connect();
    const platform::SockAddrIn listenAddr = toSockAddrIn(net.listenAddr());
    const platform::SockAddrIn clientAddr = toSockAddrIn(conn.clientAddr);
    EXPECT_EQ(kOwnPid, getClientSocketPID(listenAddr, clientAddr));
    EXPECT_TRUE(recording.log().texts().empty());
}

TEST(TcpSocketSourcesTest, NetlinkAndProcListTheSameSocketWithItsInode) {
    Loopback net;
    const auto conn = net.connect();
    struct stat st;
    ASSERT_EQ(0, ::fstat(conn.client.get(), &st));
    const TcpOwnerHint hint = net.hintFor(conn);

    for (bool netlink : {true, false}) {
        std::vector<platform::posix::TcpSocketEntry> entries;
        ASSERT_EQ(0, netlink ? platform::posix::dumpTcp4Sockets(entries)
                             : platform::posix::readProcNetTcp("/proc/net/tcp", entries));
        const platform::posix::TcpSocketEntry* found = nullptr;
        for (const auto& e : entries) {
            if (e.row.localPort == hint.localPort && e.row.remotePort == hint.remotePort &&
                e.row.localAddr == hint.localAddr)
                found = &e;
        }
        ASSERT_NE(nullptr, found) << (netlink ? "netlink" : "/proc/net/tcp");
        EXPECT_EQ(static_cast<std::uint64_t>(st.st_ino), found->inode);
        EXPECT_EQ(static_cast<std::uint32_t>(::geteuid()), found->uid);
        EXPECT_EQ(0u, found->row.owningPid);
    }

    std::unordered_map<std::uint64_t, std::uint32_t> owners{{st.st_ino, 0}, {1, 0}};
    platform::posix::findSocketOwners(owners, {static_cast<std::uint32_t>(::geteuid())});
    EXPECT_EQ(kOwnPid, owners[st.st_ino]);
    EXPECT_EQ(0u, owners[1]) << "an inode nobody holds stays without owner";
}

// Another process that opens and closes connections on command: each new
// socket's owner is found, whether its descriptor lies above the one found
// last (looked at first) or in a hole below it (found in the full list).
TEST(TcpSocketSourcesTest, OwnersAreFoundAboveAndBelowTheLastFind) {
    Loopback net;
    int commands[2];
    int ports[2];
    ASSERT_EQ(0, ::pipe(commands));
    ASSERT_EQ(0, ::pipe(ports));
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(commands[1]);
        ::close(ports[0]);
        // 'o': open a connection and report its port; a digit: close that one.
        int held[10] = {};
        char command = 0;
        for (int opened = 0; ::read(commands[0], &command, 1) == 1;) {
            if (command == 'o' && opened < 10) {
                held[opened] = ::socket(AF_INET, SOCK_STREAM, 0);
                ::connect(held[opened], reinterpret_cast<const sockaddr*>(&net.listenAddr()),
                          sizeof(sockaddr_in));
                const std::uint16_t port = localName(held[opened]).sin_port;
                if (::write(ports[1], &port, sizeof port) != sizeof port)
                    break;
                ++opened;
            } else if (command >= '0' && command <= '9') {
                ::close(held[command - '0']);
            }
        }
        ::_exit(0);
    }
    ::close(commands[0]);
    ::close(ports[1]);
    auto ownerOf = [&](const std::string& steps) {
        std::uint16_t port = 0;
        EXPECT_EQ(static_cast<ssize_t>(steps.size()),
                  ::write(commands[1], steps.data(), steps.size()));
        EXPECT_EQ(static_cast<ssize_t>(sizeof port), ::read(ports[0], &port, sizeof port));
        const TcpOwnerHint hint{net.listenAddr().sin_addr.s_addr, port,
                                net.listenAddr().sin_addr.s_addr, net.listenAddr().sin_port};
        platform::PosixTcpTable table;
        const auto rows = fetchTable(table, &hint);
        return rows.size() == 1 ? rows[0].owningPid : 0u;
    };
    const auto childPid = static_cast<std::uint32_t>(child);
    EXPECT_EQ(childPid, ownerOf("o"));   // 0: found in the full list
    EXPECT_EQ(childPid, ownerOf("o"));   // 1: just above it
    EXPECT_EQ(childPid, ownerOf("0o"));  // 2: in 0's place, below the last find
    EXPECT_EQ(childPid, ownerOf("o"));   // 3: above them all
    ::close(commands[1]);                // the child ends at the end of its commands
    int status = 0;
    ::waitpid(child, &status, 0);
    ::close(ports[0]);
}

TEST(TcpSocketSourcesTest, ExactQueryFindsOnlyTheExactConnection) {
    Loopback net;
    const auto conn = net.connect();
    struct stat st;
    ASSERT_EQ(0, ::fstat(conn.client.get(), &st));
    const TcpOwnerHint hint = net.hintFor(conn);

    platform::posix::TcpSocketEntry entry;
    bool found = false;
    ASSERT_EQ(0, platform::posix::queryTcp4Socket(hint, entry, found));
    ASSERT_TRUE(found);
    EXPECT_EQ(static_cast<std::uint64_t>(st.st_ino), entry.inode);
    EXPECT_EQ(kMibEstablished, entry.row.state);

    // The listener's own address with a peer that never connected: the
    // kernel may offer the listener, which is not this connection.
    TcpOwnerHint stranger{hint.remoteAddr, hint.remotePort, hint.localAddr, htons(1)};
    ASSERT_EQ(0, platform::posix::queryTcp4Socket(stranger, entry, found));
    EXPECT_FALSE(found);
    TcpOwnerHint wide = hint;
    wide.localPort |= 0x10000;
    ASSERT_EQ(0, platform::posix::queryTcp4Socket(wide, entry, found));
    EXPECT_FALSE(found);
}

TEST(TcpSocketSourcesTest, ParsesProcNetTcpLines) {
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
    platform::posix::parseProcNetTcp(text, entries);
    ASSERT_EQ(3u, entries.size()) << "header, short port, bad hex and truncated lines skipped";

    const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(loopback, entries[0].row.localAddr);
    EXPECT_EQ(std::uint32_t{htons(8080)}, entries[0].row.localPort);
    EXPECT_EQ(0u, entries[0].row.remoteAddr);
    EXPECT_EQ(kMibListen, entries[0].row.state);
    EXPECT_EQ(4242u, entries[0].inode);

    EXPECT_EQ(std::uint32_t{htons(0xD431)}, entries[1].row.localPort);
    EXPECT_EQ(loopback, entries[1].row.remoteAddr);
    EXPECT_EQ(std::uint32_t{htons(8080)}, entries[1].row.remotePort);
    EXPECT_EQ(kMibEstablished, entries[1].row.state);
    EXPECT_EQ(1000u, entries[1].uid);
    EXPECT_EQ(99999999999u, entries[1].inode);

    EXPECT_EQ(11u, entries[2].row.state);  // TIME_WAIT
    EXPECT_EQ(0u, entries[2].inode);
}

TEST(TcpSocketSourcesTest, MapsLinuxStatesAndSocketLinks) {
    using platform::posix::mibStateFromLinux;
    const std::uint32_t expected[] = {1, 5, 3, 4, 6, 7, 11, 1, 8, 10, 2, 9, 4};
    for (unsigned s = 0; s < sizeof expected / sizeof expected[0]; ++s)
        EXPECT_EQ(expected[s], mibStateFromLinux(s)) << "linux state " << s;
    EXPECT_EQ(1u, mibStateFromLinux(200));

    using platform::posix::socketInodeFromLink;
    auto inode = [](const std::string& s) { return socketInodeFromLink(s.data(), s.size()); };
    EXPECT_EQ(123456u, inode("socket:[123456]"));
    EXPECT_EQ(0u, inode("pipe:[123456]"));
    EXPECT_EQ(0u, inode("socket:[]"));
    EXPECT_EQ(0u, inode("socket:[12a]"));
    EXPECT_EQ(0u, inode("socket:[123"));
    EXPECT_EQ(0u, inode("socket:[99999999999999999999999]"));
}

}  // namespace

#endif  // __linux__
