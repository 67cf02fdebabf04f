// The TCP table seam: size query, growth and the owner of a loopback
// connection.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tests/win32/win32_test_support.h"

namespace {

using platform::SockAddr;
using platform::Socket;
using platform::TcpRowOwner;

class Win32TcpTableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, net().startup()); }
    void TearDown() override {
        for (Socket s : m_open)
            net().close(s);
        net().cleanup();
    }
    static platform::Sockets& net() { return platform::nativeSockets(); }

    Socket make() {
        Socket s = platform::kInvalidSocket;
        EXPECT_EQ(0, net().createTcp(s));
        m_open.push_back(s);
        return s;
    }

    // Fetches the table the way its users do: size query, then fetch until
    // it fits.
    template <typename Row = TcpRowOwner>
    static std::vector<Row> fetchRows(std::uint16_t family = platform::kAfInet) {
        auto& table = platform::nativeTcpTable();
        std::uint32_t size = 0;
        std::uint32_t rc = table.getExtendedTcpTable(family, nullptr, size, nullptr);
        EXPECT_EQ(platform::kErrorInsufficientBuffer, rc);
        std::vector<std::uint8_t> buffer;
        for (int round = 0; round < 100 && rc == platform::kErrorInsufficientBuffer; ++round) {
            EXPECT_GT(size, 0u);
            buffer.assign(size, 0);
            rc = table.getExtendedTcpTable(family, buffer.data(), size, nullptr);
        }
        EXPECT_EQ(0u, rc);
        std::uint32_t count = 0;
        std::memcpy(&count, buffer.data(), sizeof(count));
        EXPECT_EQ(sizeof(count) + count * sizeof(Row), size);
        std::vector<Row> rows(count);
        if (count > 0)
            std::memcpy(rows.data(), buffer.data() + sizeof(count), count * sizeof(Row));
        return rows;
    }

    std::vector<Socket> m_open;
};

TEST_F(Win32TcpTableTest, ClientEndOfLoopbackConnectionIsOwnedByThisProcess) {
    const Socket l = make();
    SockAddr any;
    any.family = platform::kAfInet;
    any.addr = platform::loopbackAddr();
    ASSERT_EQ(0, net().bind(l, any));
    ASSERT_EQ(0, net().listen(l, 5));
    SockAddr listenAddr;
    ASSERT_EQ(0, net().getSockName(l, listenAddr));
    const Socket client = make();
    ASSERT_EQ(0, net().connect(client, listenAddr));
    Socket server = platform::kInvalidSocket;
    SockAddr clientAddr;
    ASSERT_EQ(0, net().accept(l, server, &clientAddr));
    m_open.push_back(server);

    const TcpRowOwner* clientRow = nullptr;
    const std::vector<TcpRowOwner> rows = fetchRows();
    for (const TcpRowOwner& row : rows) {
        if (row.localAddr == clientAddr.addr && row.localPort == clientAddr.port &&
            row.remoteAddr == listenAddr.addr && row.remotePort == listenAddr.port) {
            clientRow = &row;
            break;
        }
    }
    ASSERT_NE(nullptr, clientRow);
    if (clientRow->owner == 0 && win32test::underCompatibilityLayer()) {
        GTEST_SKIP() << "owning process ids are not reported here";
    }
    EXPECT_EQ(::GetCurrentProcessId(), clientRow->owner);
}

// The same over IPv6, as a browser on [::1] makes it.
TEST_F(Win32TcpTableTest, ClientEndOfIpv6LoopbackConnectionIsOwnedByThisProcess) {
    Socket l = platform::kInvalidSocket;
    if (net().createTcp6(l) != 0)
        GTEST_SKIP() << "no IPv6 sockets here";
    m_open.push_back(l);
    SockAddr any;
    any.family = platform::kAfInet6;
    any.addr6 = platform::loopbackAddr6();
    ASSERT_EQ(0, net().bind(l, any));
    ASSERT_EQ(0, net().listen(l, 5));
    SockAddr listenAddr;
    ASSERT_EQ(0, net().getSockName(l, listenAddr));
    Socket client = platform::kInvalidSocket;
    ASSERT_EQ(0, net().createTcp6(client));
    m_open.push_back(client);
    ASSERT_EQ(0, net().connect(client, listenAddr));
    Socket server = platform::kInvalidSocket;
    SockAddr clientAddr;
    ASSERT_EQ(0, net().accept(l, server, &clientAddr));
    m_open.push_back(server);
    EXPECT_EQ(platform::kAfInet6, clientAddr.family);

    const platform::Tcp6RowOwner* clientRow = nullptr;
    const auto rows = fetchRows<platform::Tcp6RowOwner>(platform::kAfInet6);
    for (const auto& row : rows) {
        if (std::memcmp(row.localAddr, clientAddr.addr6.data(), 16) == 0 &&
            row.localPort == clientAddr.port &&
            std::memcmp(row.remoteAddr, listenAddr.addr6.data(), 16) == 0 &&
            row.remotePort == listenAddr.port) {
            clientRow = &row;
        }
    }
    if (clientRow == nullptr && win32test::underCompatibilityLayer())
        GTEST_SKIP() << "IPv6 connections are not listed here (" << rows.size() << " rows)";
    ASSERT_NE(nullptr, clientRow);
    if (clientRow->owner == 0 && win32test::underCompatibilityLayer())
        GTEST_SKIP() << "owning process ids are not reported here";
    EXPECT_EQ(::GetCurrentProcessId(), clientRow->owner);
}

}  // namespace
