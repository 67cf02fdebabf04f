#include "userinfo/socket_owner.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/errors.h"
#include "tests/fakes/fake_clock.h"
#include "tests/userinfo/userinfo_fixture.h"

namespace {

constexpr std::uint32_t kLoopback = 0x7F000001u;
constexpr std::uint16_t kListenPort = 8080;
constexpr std::uint16_t kBrowserPort = 51234;

platform::SockAddr address(std::uint32_t addr, std::uint16_t port) {
    platform::SockAddr a;
    a.family = platform::kAfInet;
    a.addr = platform::hostToNet32(addr);
    a.port = platform::hostToNet16(port);
    return a;
}

// The owner found, or kNone.
constexpr long long kNone = -1;
long long lookUpOwner() {
    platform::SocketOwner owner = 0;
    if (!getClientSocketPID(address(kLoopback, kListenPort), address(kLoopback, kBrowserPort),
                            owner))
        return kNone;
    return owner;
}

const std::string kNoOwner =
    "getClientSocketPID(), no owner found for the connection from 127.0.0.1:51234 to "
    "127.0.0.1:8080";

class SocketOwnerTest : public ::testing::Test {
protected:
    long long lookup() { return lookUpOwner(); }
    platform::TcpRowOwner browserRow(std::uint32_t pid) {
        return FakeTcpTable::row(kLoopback, kBrowserPort, kLoopback, kListenPort, pid);
    }
    platform::TcpRowOwner relayRow(std::uint32_t pid) {
        return FakeTcpTable::row(kLoopback, kListenPort, kLoopback, kBrowserPort, pid);
    }
    platform::TcpRowOwner listenerRow(std::uint32_t pid) {
        return FakeTcpTable::row(kLoopback, kListenPort, 0, 0, pid, 2);
    }

    UserinfoPlatform m_platform;
};

TEST_F(SocketOwnerTest, FindsBrowserRowAndSkipsTheRelaysOwnAcceptedRow) {
    m_platform.tcpTable.addTable({listenerRow(900), relayRow(900),
                                  FakeTcpTable::row(kLoopback, 40000, kLoopback, kListenPort, 11),
                                  browserRow(4242), browserRow(5555)});
    EXPECT_EQ(lookup(), 4242);  // the first match wins
    EXPECT_EQ(m_platform.tcpTable.calls(), 2);
    EXPECT_TRUE(m_platform.log().events().empty());

    // The hint names the browser's row: local = client, remote = listener,
    // ports zero-extended in network byte order.
    const auto hints = m_platform.tcpTable.hints();
    ASSERT_FALSE(hints.empty());
    const std::array<std::uint8_t, 16> loopback{127, 0, 0, 1};
    EXPECT_EQ(hints[0].localAddr, loopback);
    EXPECT_EQ(hints[0].localPort, std::uint32_t{platform::hostToNet16(kBrowserPort)});
    EXPECT_EQ(hints[0].remoteAddr, loopback);
    EXPECT_EQ(hints[0].remotePort, std::uint32_t{platform::hostToNet16(kListenPort)});
}

TEST_F(SocketOwnerTest, EveryOneOfTheFourFieldsMustMatchExactly) {
    auto highBits = browserRow(1);
    highBits.localPort |= 0x10000u;  // same low 16 bits, whole field differs
    auto remoteHighBits = browserRow(2);
    remoteHighBits.remotePort |= 0x80000000u;
    auto otherLocalAddr = browserRow(3);
    otherLocalAddr.localAddr = platform::hostToNet32(0x7F000002u);
    auto otherRemoteAddr = browserRow(4);
    otherRemoteAddr.remoteAddr = platform::hostToNet32(0x0A000001u);
    auto otherRemotePort = browserRow(5);
    otherRemotePort.remotePort = platform::hostToNet16(kListenPort + 1);
    m_platform.tcpTable.addTable(
        {highBits, remoteHighBits, otherLocalAddr, otherRemoteAddr, otherRemotePort});
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(m_platform.messages(), std::vector<std::string>{kNoOwner});
}

// Fail closed, audibly: a connection nobody owns is dropped, and said so at
// most once a second, with a count of the lines held back.
TEST_F(SocketOwnerTest, NoOwnerIsLoggedAtMostOnceASecond) {
    m_platform.tcpTable.addTable({relayRow(900)});  // the browser has already gone
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(lookup(), kNone);
    m_platform.clock().advanceSeconds(1);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(m_platform.messages(),
              (std::vector<std::string>{kNoOwner, kNoOwner + " (3 similar messages held back)"}));
    EXPECT_EQ(m_platform.types(),
              (std::vector<std::uint16_t>{kEventTypeWarning, kEventTypeWarning}));
}

// A browser whose socket is IPv6 reaches the IPv4 listener through mapped
// addresses; its row is in the IPv6 table. Uid 0 is an owner like any other.
TEST_F(SocketOwnerTest, AnIpv6SocketWithMappedAddressesIsFoundInTheIpv6Table) {
    m_platform.tcpTable.addTable({relayRow(900)});
    platform::Tcp6RowOwner row{};
    const std::uint8_t mapped[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 127, 0, 0, 1};
    std::memcpy(row.localAddr, mapped, 16);
    std::memcpy(row.remoteAddr, mapped, 16);
    row.localPort = platform::hostToNet16(kBrowserPort);
    row.remotePort = platform::hostToNet16(kListenPort);
    row.owner = 0;
    platform::Tcp6RowOwner other = row;
    other.localPort = platform::hostToNet16(kBrowserPort + 1);
    other.owner = 5;
    m_platform.tcpTable.addTable6({other, row});
    EXPECT_EQ(lookup(), 0);
    EXPECT_EQ(m_platform.tcpTable.families(),
              (std::vector<std::uint16_t>{platform::kAfInet, platform::kAfInet, platform::kAfInet6,
                                          platform::kAfInet6}));
    EXPECT_TRUE(m_platform.log().events().empty());
}

TEST_F(SocketOwnerTest, RefetchesWhileTheTableGrowsBetweenCalls) {
    m_platform.tcpTable.addTable({relayRow(900)});
    m_platform.tcpTable.addTable({relayRow(900), listenerRow(900)});
    m_platform.tcpTable.addTable({relayRow(900), listenerRow(900), relayRow(1)});
    m_platform.tcpTable.addTable({relayRow(900), listenerRow(900), relayRow(1), browserRow(77)});
    EXPECT_EQ(lookup(), 77);
    EXPECT_EQ(m_platform.tcpTable.calls(), 5);  // size query, three too small, one fit
}

TEST_F(SocketOwnerTest, FirstCallFailureIsReported) {
    m_platform.tcpTable.addRawReply(platform::kErrorInvalidParameter, {}, 0);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(m_platform.messages(),
              std::vector<std::string>{"getClientSocketPID(), GetExtendedTcpTable() returned 87"});
    EXPECT_EQ(m_platform.types(), std::vector<std::uint16_t>{kEventTypeError});
}

// Out of descriptors every connection fails the same way: the failure is
// logged at most once a second.
TEST_F(SocketOwnerTest, FirstCallFailuresAreLoggedAtMostOnceASecond) {
    FakeClock clock;
    platform::Platform p = platform::current();
    p.clock = &clock;
    platform::ScopedPlatform withClock(p);
    for (int i = 0; i < 5; ++i)
        m_platform.tcpTable.addRawReply(4, {}, 0);  // ERROR_TOO_MANY_OPEN_FILES
    EXPECT_EQ(lookup(), kNone);
    clock.advanceSeconds(0.5);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(lookup(), kNone);
    clock.advanceSeconds(0.5);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(lookup(), kNone);
    const std::string text = "getClientSocketPID(), GetExtendedTcpTable() returned 4";
    EXPECT_EQ(m_platform.messages(),
              (std::vector<std::string>{text, text + " (2 similar messages held back)"}));
}

TEST_F(SocketOwnerTest, LaterCallFailureGivesZeroWithoutMessage) {
    m_platform.tcpTable.addRawReply(platform::kErrorInsufficientBuffer, {}, 28);
    m_platform.tcpTable.addRawReply(platform::kErrorNotEnoughMemory, {}, 28);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(m_platform.tcpTable.calls(), 2);
    EXPECT_TRUE(m_platform.log().events().empty());
}

TEST_F(SocketOwnerTest, SuccessWithZeroSizeIsReportedAsEmptyTable) {
    m_platform.tcpTable.addRawReply(0, {}, 0);
    EXPECT_EQ(lookup(), kNone);
    EXPECT_EQ(m_platform.messages(),
              std::vector<std::string>{
                  "getClientSocketPID(), GetExtendedTcpTable() returned empty tcptable0"});
}

TEST_F(SocketOwnerTest, NeverReadsPastTheBytesTheTableReturned) {
    // The size query asks for room for two rows; the fetch writes both but
    // reports only one, whose row count still claims two. The second row
    // (the match) lies beyond the returned bytes and must not be used.
    const auto twoRows =
        FakeTcpTable::tableBytes(std::vector<platform::TcpRowOwner>{relayRow(900), browserRow(66)});
    const auto oneRow = static_cast<std::uint32_t>(4 + sizeof(platform::TcpRowOwner));
    m_platform.tcpTable.addRawReply(platform::kErrorInsufficientBuffer, {},
                                    static_cast<std::uint32_t>(twoRows.size()));
    m_platform.tcpTable.addRawReply(0, twoRows, oneRow);
    EXPECT_EQ(lookup(), kNone);
}

TEST_F(SocketOwnerTest, RowCountClaimingMoreThanTheBufferHoldsIsBounded) {
    const auto lying =
        FakeTcpTable::tableBytes(std::vector<platform::TcpRowOwner>{relayRow(900)}, 1000000);
    m_platform.tcpTable.addRawReply(platform::kErrorInsufficientBuffer, {},
                                    static_cast<std::uint32_t>(lying.size()));
    m_platform.tcpTable.addRawReply(0, lying, static_cast<std::uint32_t>(lying.size()));
    EXPECT_EQ(lookup(), kNone);

    // A size larger than the buffer is bounded by the buffer, and a table
    // shorter than its header holds no row.
    UserinfoPlatform again;
    again.tcpTable.addRawReply(platform::kErrorInsufficientBuffer, {}, 2);
    again.tcpTable.addRawReply(0, {1, 0}, 4096);
    EXPECT_EQ(lookUpOwner(), kNone);
}

}  // namespace
