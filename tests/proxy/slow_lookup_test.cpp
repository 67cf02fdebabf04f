// A user whose directory lookup hangs slows nobody else: other users'
// connections, the idle limit and a stop go on while it is held up, and
// nothing waits for it.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "proxy/error_page.h"
#include "proxy/socks_proxy_server.h"
#include "tests/fakes/fake_files.h"
#include "tests/fakes/fake_relay_env.h"
#include "tests/proxy/server_probe.h"
#include "tests/userinfo/session_fixture.h"

namespace {

using namespace sessions;
using Op = FakeSockets::Op;

class SlowLookupTest : public ::testing::Test {
protected:
    SlowLookupTest() : m_scope(withFakes()) {
        addDirectory(m_identity);
        m_users = std::make_unique<UserInformation>();
        ServerParameters params = testParameters("127.0.0.1", refusingPort());
        params.socketTimeout = 30;
        m_server = std::make_unique<SocksProxyServer>(m_users.get(), params, L"test");
    }
    ~SlowLookupTest() override {
        m_identity.releaseTokenQueries();
        EXPECT_TRUE(UserInfoWorkers::waitUntilNoTaskRuns(std::chrono::seconds(20)));
        loopback::close(m_bound);
    }

    // A port bound by nobody's listener refuses, and nobody else can take it
    // while it stays bound.
    std::uint16_t refusingPort() {
        auto& native = platform::nativeSockets();
        platform::SockAddr addr;
        addr.family = platform::kAfInet;
        addr.addr = platform::loopbackAddr();
        EXPECT_EQ(native.createTcp(m_bound), 0);
        EXPECT_EQ(native.bind(m_bound, addr), 0);
        EXPECT_EQ(native.getSockName(m_bound, addr), 0);
        return platform::netToHost16(addr.port);
    }

    void startServer() {
        const int entered = m_env.sockets().calls(Op::Select);
        m_thread = std::thread([this] { m_result = m_server->run(); });
        ASSERT_TRUE(m_env.sockets().waitForSelectCalls(entered + 1));
        m_port = loopback::localPort(SocksProxyServerProbe(*m_server).listenSock());
    }
    RelayEnv m_env;
    FakeIdentity m_identity;
    FakeFiles m_files;

private:
    platform::Platform withFakes() {
        platform::Platform p = platform::current();
        p.identity = &m_identity;
        p.files = &m_files;
        return p;
    }
    platform::ScopedPlatform m_scope;

protected:
    std::unique_ptr<UserInformation> m_users;
    std::unique_ptr<SocksProxyServer> m_server;
    platform::Socket m_bound = platform::kInvalidSocket;
    std::thread m_thread;
    int m_result = -1;
    std::uint16_t m_port = 0;
};

TEST_F(SlowLookupTest, OthersTheIdleLimitAndAStopGoOnWhileALookupHangs) {
    m_identity.holdTokenQueries(1);  // alice's
    // Each lookup asks the owner table after its connection is accepted.
    m_env.tcpTable().m_owner = kAlicePid;
    startServer();
    platform::Socket alice = loopback::connectTo(m_port);
    ASSERT_TRUE(m_identity.waitForHeldQueries(1));
    m_env.tcpTable().m_owner = kBobPid;

    platform::Socket bob = loopback::connectTo(m_port);
    bool ended = false;
    EXPECT_EQ(
        loopback::readToEnd(bob, ended),
        buildErrorResponse(BadGateway, "Could not connect to Tarnwicket (connection refused)"));
    EXPECT_TRUE(ended) << "bob is served while alice's lookup hangs";
    loopback::close(bob);

    // Alice's pair outlives the idle limit: it is closed at once, though its
    // lookup still runs.
    m_env.clock().advanceSeconds(31);
    m_server->wakeupSelect();
    ended = false;
    EXPECT_EQ(loopback::readToEnd(alice, ended), "");
    EXPECT_TRUE(ended);
    loopback::close(alice);

    // A second one of hers is held up too, and the stop does not wait for it.
    m_env.tcpTable().m_owner = kAlicePid;
    platform::Socket again = loopback::connectTo(m_port);
    ASSERT_TRUE(m_identity.waitForHeldQueries(2));
    m_server->stop();
    m_thread.join();
    EXPECT_EQ(m_result, 0);
    EXPECT_TRUE(m_identity.waitForHeldQueries(2)) << "both lookups still hang: nobody waited";
    loopback::close(again);
}

}  // namespace
