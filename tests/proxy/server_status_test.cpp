// The loop's side of the status: when asked, it hands the publisher a
// snapshot of its pairs and counts, and goes on serving while the snapshot
// is written on the publisher's thread, however long that takes.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "proxy/socks_proxy_server.h"
#include "proxy/status_publisher.h"
#include "support/service_names.h"
#include "tests/fakes/fake_files.h"
#include "tests/fakes/fake_relay_env.h"
#include "tests/fakes/fake_service_control.h"
#include "tests/proxy/server_probe.h"

namespace {

using Op = FakeSockets::Op;

// Holds every snapshot write until released, and notes the writing threads.
class WriteGate {
public:
    void enter() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_writers.insert(std::this_thread::get_id());
        ++m_entered;
        m_changed.notify_all();
        m_changed.wait_for(lock, std::chrono::seconds(20), [this] { return m_open; });
    }
    bool waitEntered(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_entered >= n; });
    }
    void open() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_open = true;
        }
        m_changed.notify_all();
    }
    std::set<std::thread::id> writers() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_writers;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::set<std::thread::id> m_writers;
    int m_entered = 0;
    bool m_open = false;
};

class ServerStatusTest : public ::testing::Test {
protected:
    ServerStatusTest() : m_scope(makePlatform()) {
        std::filesystem::create_directories(m_files.dataDir());
        m_server.setStatusPublisher(&m_publisher);
    }
    ~ServerStatusTest() override {
        m_gate.open();
        if (m_loop.joinable()) {
            m_server.stop();
            m_loop.join();
        }
        m_publisher.stop();
        loopback::close(m_browser.far);
        loopback::close(m_gateway.far);
    }

    StatusPublisher::Settings settings() const {
        StatusPublisher::Settings s;
        s.path = m_files.dataPath("status.txt").wstring();
        s.interval = std::chrono::milliseconds(10);
        return s;
    }
    void startLoop() {
        m_loop = std::thread([this] { m_result = m_server.run(); });
    }
    // Runs one loop iteration that begins after this call.
    bool iterate() {
        const int entered = m_env.sockets().calls(Op::Select);
        m_server.wakeupSelect();
        if (!m_env.sockets().waitForSelectCalls(entered + 1))
            return false;
        m_server.wakeupSelect();
        return m_env.sockets().waitForSelectCalls(entered + 2);
    }
    // The latest snapshot written that `wanted` accepts, within a bound.
    bool waitForSnapshot(const std::function<bool(const RelayStatus&)>& wanted, RelayStatus& out) {
        for (std::size_t n = m_scm.statusTexts().size() + 1; n < 2000; ++n) {
            if (!m_scm.waitForStatusTexts(n))
                return false;
            if (parseSnapshot(m_files.readFile("status.txt"), out) && wanted(out))
                return true;
        }
        return false;
    }

    RelayEnv m_env;
    FakeFiles m_files;
    FakeServiceControl m_scm;
    WriteGate m_gate;
    SocksProxyServer m_server{nullptr, testParameters(), L"test"};
    StatusPublisher m_publisher{settings(), [this] { m_server.wakeupSelect(); }};
    std::thread m_loop;
    int m_result = -1;
    loopback::Pair m_browser;
    loopback::Pair m_gateway;

private:
    platform::Platform makePlatform() {
        platform::Platform p = platform::current();
        p.files = &m_files;
        p.serviceControl = &m_scm;
        return p;
    }
    platform::ScopedPlatform m_scope;
};

}  // namespace

TEST_F(ServerStatusTest, TheLoopHandsOverASnapshotAndServesOnWhileItIsWritten) {
    m_browser = loopback::connectedPair();
    m_gateway = loopback::connectedPair();
    auto cp = std::make_unique<ConnPair>();
    cp->m_browserSock = m_browser.near;
    cp->m_tarnwicketSock = m_gateway.near;
    cp->m_state = Relaying;
    cp->m_sendingToTarnwicket = false;
    cp->m_lastActivity = m_env.clock().nowTicks();
    cp->m_userInfo.domain = L"WS1";
    cp->m_userInfo.name = L"alice";
    cp->m_bytesToTarnwicket = 80;
    cp->m_bytesToBrowser = 412;
    m_server.m_connPairs.push_back(std::move(cp));
    m_files.m_replaceHook = [this] { m_gate.enter(); };

    m_publisher.start();
    startLoop();
    ASSERT_TRUE(m_gate.waitEntered(1));
    // The write hangs; the loop does not wait for it.
    ASSERT_TRUE(iterate());
    ASSERT_TRUE(iterate());
    EXPECT_EQ(0u, m_gate.writers().count(m_loop.get_id())) << "the loop wrote a snapshot itself";

    m_gate.open();
    RelayStatus s;
    ASSERT_TRUE(waitForSnapshot([](const RelayStatus&) { return true; }, s));
    EXPECT_EQ(kProgramVersion, s.version);
    EXPECT_EQ(10u, s.intervalMillis);
    EXPECT_EQ(m_env.clock().nowTicks(), s.taken);
    ASSERT_FALSE(s.listening.empty());
    EXPECT_EQ("127.0.0.1:" +
                  std::to_string(loopback::localPort(SocksProxyServerProbe(m_server).listenSock())),
              s.listening[0]);
    ASSERT_EQ(1u, s.users.size());
    EXPECT_EQ(L"WS1\\alice", s.users[0].user);
    EXPECT_EQ(1u, s.users[0].connections);
    EXPECT_EQ(80u, s.users[0].bytesToGateway);
    EXPECT_EQ(412u, s.users[0].bytesToBrowser);
    EXPECT_EQ(0u, m_gate.writers().count(m_loop.get_id()));

    m_server.stop();
    m_loop.join();
    EXPECT_EQ(0, m_result);
}

TEST_F(ServerStatusTest, TheSnapshotCountsConnectionsSinceTheStart) {
    m_env.tcpTable().m_attributes = false;  // no owner: closed unanswered
    m_publisher.start();
    startLoop();
    ASSERT_TRUE(m_env.sockets().waitForSelectCalls(1));
    const std::uint16_t port = loopback::localPort(SocksProxyServerProbe(m_server).listenSock());
    platform::Socket browser = loopback::connectTo(port);
    bool ended = false;
    EXPECT_EQ("", loopback::readToEnd(browser, ended));
    EXPECT_TRUE(ended);
    loopback::close(browser);

    // No gateway is set: an attributed connection gets the 502 page.
    m_env.tcpTable().m_attributes = true;
    browser = loopback::connectTo(port);
    EXPECT_EQ(0u, loopback::readToEnd(browser, ended).rfind("HTTP/1.0 502 ", 0));
    loopback::close(browser);

    RelayStatus s;
    ASSERT_TRUE(waitForSnapshot(
        [](const RelayStatus& r) { return r.counters.errorPages502 == 1 && r.users.empty(); }, s));
    EXPECT_EQ(2u, s.counters.accepted);
    EXPECT_EQ(1u, s.counters.ownersNotFound);
    EXPECT_EQ(0u, s.counters.relayed);
    EXPECT_EQ(0u, s.counters.errorPages500 + s.counters.errorPages504);
}
