#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "proxy/error_page.h"
#include "proxy/socks_proxy_server.h"
#include "tests/fakes/fake_relay_env.h"
#include "tests/proxy/server_probe.h"

namespace {

using Op = FakeSockets::Op;
constexpr std::int64_t kSecond = FakeClock::kTicksPerSecond;

std::string bufferText(const RelayBuffer& buf) {
    return std::string(buf.begin(), buf.end());
}

class LoopStepTest : public ::testing::Test {
protected:
    LoopStepTest() { m_env.log().clear(); }  // the constructor's registry messages
    ConnPair& addPair(ConnState state) {
        m_server.m_connPairs.push_back(std::make_unique<ConnPair>());
        ConnPair& cp = *m_server.m_connPairs.back();
        cp.m_state = state;
        cp.m_lastActivity = m_env.clock().nowTicks();
        if (state >= Relaying)
            cp.m_sendingToTarnwicket = false;
        return cp;
    }
    std::int64_t now() { return m_env.clock().nowTicks(); }
    // The pair's lookup, made on first use.
    static UserInfoLookup& lookupOf(ConnPair& cp) {
        if (!cp.m_lookup)
            cp.m_lookup = std::make_shared<UserInfoLookup>();
        return *cp.m_lookup;
    }

    static ServerParameters parameters() {
        ServerParameters p = testParameters();
        p.socketTimeout = 30;
        return p;
    }

    RelayEnv m_env;
    SocksProxyServer m_server{nullptr, parameters(), L"test"};
    SocksProxyServerProbe m_probe{m_server};
};

TEST_F(LoopStepTest, FinishedLookupsAreJoinedAndAdmittedByOutcome) {
    ConnPair& resolveFailed = addPair(WaitingForUserInfo);
    lookupOf(resolveFailed).gateway.errorText = "Could not resolve Tarnwicket IP address";
    resolveFailed.m_userInfoThread = std::make_unique<UserInfoJob>(m_probe.workers());
    resolveFailed.m_userInfoThread->begin([] {});
    lookupOf(resolveFailed).done = true;
    ConnPair& userFailed = addPair(WaitingForUserInfo);
    lookupOf(userFailed).done = true;
    ConnPair& running = addPair(WaitingForUserInfo);
    lookupOf(running);
    ConnPair& closingWithText = addPair(WaitingForUserInfo);
    closingWithText.m_closing = true;
    lookupOf(closingWithText).gateway.errorText = "text";
    lookupOf(closingWithText).done = true;

    m_probe.admitFinishedLookups();

    EXPECT_EQ(resolveFailed.m_userInfoThread, nullptr);
    EXPECT_EQ(resolveFailed.m_lookup, nullptr);
    EXPECT_NE(running.m_lookup, nullptr);
    EXPECT_EQ(resolveFailed.m_state, SendingErrorPage);
    EXPECT_EQ(bufferText(resolveFailed.m_sb_buf),
              buildErrorResponse(BadGateway, "Could not resolve Tarnwicket IP address"));
    EXPECT_FALSE(resolveFailed.m_closing);
    EXPECT_TRUE(userFailed.m_closing);
    EXPECT_EQ(userFailed.m_state, WaitingForUserInfo);
    EXPECT_EQ(running.m_state, WaitingForUserInfo);
    EXPECT_FALSE(running.m_closing);
    EXPECT_EQ(closingWithText.m_state, SendingErrorPage);
    EXPECT_TRUE(m_env.log().events().empty());
}

TEST_F(LoopStepTest, SuccessfulLookupStartsTheGatewayConnect) {
    platform::Socket listener = platform::kInvalidSocket;
    auto& native = platform::nativeSockets();
    ASSERT_EQ(native.createTcp(listener), 0);
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    ASSERT_EQ(native.bind(listener, addr), 0);
    ASSERT_EQ(native.listen(listener, 1), 0);
    ASSERT_EQ(native.getSockName(listener, addr), 0);

    ConnPair& cp = addPair(WaitingForUserInfo);
    UserInfoLookup& lookup = lookupOf(cp);
    lookup.gateway.addresses = {addr};
    lookup.sessionKnown = true;
    lookup.session = 7;
    lookup.failed = false;
    lookup.done = true;
    m_probe.admitFinishedLookups();
    EXPECT_TRUE(cp.m_sessionKnown);
    EXPECT_EQ(cp.m_sessionId, 7u);

    EXPECT_TRUE(cp.m_state == ConnectingToTarnwicket
                    ? cp.m_dialer.attemptsForTest().size() == 1u
                    : cp.m_state == AwaitingMethodSelection &&
                          cp.m_tarnwicketSock != platform::kInvalidSocket)
        << cp.m_state;
    native.close(listener);
}

TEST_F(LoopStepTest, PairLimitDropsTheLeastRecentlyActive) {
    const std::size_t count = kMaxConnPairs + 1;
    for (std::size_t i = 0; i < count; ++i) {
        ConnPair& cp = addPair(Relaying);
        // Keep memory small: the limit is about pairs, not their buffers.
        cp.m_bs_buf = {};
        cp.m_sb_buf = {};
        cp.m_lastActivity = 1000 + static_cast<std::int64_t>((i * 7919) % count);
    }
    ConnPair* leastActive = nullptr;
    for (auto& cp : m_server.m_connPairs) {
        if (cp->m_lastActivity == 1000)
            leastActive = cp.get();
    }
    ASSERT_NE(leastActive, nullptr);

    m_probe.enforcePairLimit();
    ASSERT_EQ(m_server.m_connPairs.size(), kMaxConnPairs);
    for (auto& cp : m_server.m_connPairs)
        EXPECT_NE(cp.get(), leastActive);
    EXPECT_EQ(m_env.log().narrowTexts(),
              std::vector<std::string>{
                  "SocksProxyServer::selectLoop(), too many ConnPairs, reduced from 2048 to 2047"});

    m_probe.enforcePairLimit();
    EXPECT_EQ(m_server.m_connPairs.size(), kMaxConnPairs);
    EXPECT_EQ(m_env.log().events().size(), 1u);
}

// At the pair limit the owner holding the most pairs loses its least
// recently active ones; an owner at or below an equal share loses nothing
// while another is above it. Pairs whose owner is not known yet form one
// group of their own.
TEST_F(LoopStepTest, PairLimitPrunesTheOwnerThatHoldsTheMost) {
    constexpr std::uint32_t kUnknown = 0xFFFFFFFF;
    struct Case {
        std::vector<std::pair<std::uint32_t, std::size_t>> owners;  // session, pairs
        std::map<std::uint32_t, std::size_t> pruned;
    };
    const std::size_t most = kMaxConnPairs;
    const Case cases[] = {
        {{{1, most - 10}, {2, 10}, {kUnknown, 3}}, {{1, 3}}},
        {{{1, 1000}, {kUnknown, most - 990}}, {{kUnknown, 10}}},
        // Two above an equal share: each gives up its pairs in turn.
        {{{1, 1100}, {2, 1100}, {3, 10}}, {{1, 82}, {2, 81}}},
    };
    for (const Case& c : cases) {
        m_server.m_connPairs.clear();
        m_env.clock().advanceSeconds(1);  // the message is due again
        std::map<std::uint32_t, std::vector<ConnPair*>> made;
        std::int64_t stamp = 0;
        for (const auto& owner : c.owners) {
            for (std::size_t i = 0; i < owner.second; ++i) {
                ConnPair& cp = addPair(Relaying);
                cp.m_bs_buf = {};
                cp.m_sb_buf = {};
                cp.m_sessionKnown = owner.first != kUnknown;
                cp.m_sessionId = owner.first;
                cp.m_lastActivity = ++stamp;  // the oldest of each owner first
                made[owner.first].push_back(&cp);
            }
        }
        m_probe.enforcePairLimit();
        ASSERT_EQ(m_server.m_connPairs.size(), kMaxConnPairs);
        std::set<const ConnPair*> left;
        for (const auto& cp : m_server.m_connPairs)
            left.insert(cp.get());
        for (const auto& owner : made) {
            const auto expected = c.pruned.count(owner.first) ? c.pruned.at(owner.first) : 0u;
            for (std::size_t i = 0; i < owner.second.size(); ++i)
                EXPECT_EQ(left.count(owner.second[i]), i < expected ? 0u : 1u)
                    << "owner " << owner.first << ", pair " << i;
        }
    }
}

// A pair whose lookup hangs is let go at the limit without waiting for it,
// and the limit's message comes at most once a second.
TEST_F(LoopStepTest, PairLimitNeitherWaitsForLookupsNorFloodsTheLog) {
    std::mutex gate;
    std::unique_lock<std::mutex> closed(gate);
    ConnPair& waiting = addPair(WaitingForUserInfo);
    waiting.m_lastActivity = 0;
    waiting.m_userInfoThread = std::make_unique<UserInfoJob>(m_probe.workers());
    waiting.m_userInfoThread->begin([&gate] { std::lock_guard<std::mutex> wait(gate); });
    for (int i = 0; i < 4000 && UserInfoWorkers::tasksRunning() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(UserInfoWorkers::tasksRunning(), 1u) << "the lookup runs";
    for (int round = 0; round < 3; ++round) {
        while (m_server.m_connPairs.size() <= kMaxConnPairs) {
            ConnPair& cp = addPair(Relaying);
            cp.m_bs_buf = {};
            cp.m_sb_buf = {};
        }
        m_probe.enforcePairLimit();
        if (round == 1)
            m_env.clock().advanceSeconds(1);
    }
    closed.unlock();
    EXPECT_TRUE(UserInfoWorkers::waitUntilNoTaskRuns(std::chrono::seconds(20)));
    const std::string text =
        "SocksProxyServer::selectLoop(), too many ConnPairs, reduced from 2048 to 2047";
    EXPECT_EQ(m_env.log().narrowTexts(),
              (std::vector<std::string>{text, text + " (1 similar message held back)"}));
}

TEST_F(LoopStepTest, NegotiationLimitGivesThe504PageOnlyWhenExceeded) {
    ConnPair& atLimit = addPair(AwaitingMethodSelection);
    ConnPair& beyond = addPair(AwaitingConnectReply);
    ConnPair& connecting = addPair(ConnectingToTarnwicket);
    ConnPair& page = addPair(SendingErrorPage);
    ConnPair& waiting = addPair(WaitingForUserInfo);
    atLimit.m_lastActivity = now() - 10 * kSecond;
    beyond.m_lastActivity = now() - 10 * kSecond - 1;
    connecting.m_lastActivity = beyond.m_lastActivity;
    page.m_lastActivity = beyond.m_lastActivity;
    waiting.m_lastActivity = beyond.m_lastActivity;

    m_probe.applyIdleLimits();

    EXPECT_EQ(atLimit.m_state, AwaitingMethodSelection);
    EXPECT_EQ(beyond.m_state, SendingErrorPage);
    EXPECT_EQ(bufferText(beyond.m_sb_buf),
              buildErrorResponse(GatewayTimeout, "Proxy negotiation timed out"));
    for (ConnPair* cp : {&atLimit, &beyond, &connecting, &page, &waiting})
        EXPECT_FALSE(cp->m_closing);
    EXPECT_EQ(m_env.log().narrowTexts(),
              std::vector<std::string>{"SOCKS negotation with Tarnwicket timed out"});
}

TEST_F(LoopStepTest, SocketTimeoutClosesOtherStatesSilently) {
    ConnPair& relayingAtLimit = addPair(Relaying);
    ConnPair& relayingBeyond = addPair(Relaying);
    ConnPair& waitingBeyond = addPair(WaitingForUserInfo);
    ConnPair& pageBeyond = addPair(SendingErrorPage);
    relayingAtLimit.m_lastActivity = now() - 30 * kSecond;
    relayingBeyond.m_lastActivity = now() - 30 * kSecond - 1;
    waitingBeyond.m_lastActivity = relayingBeyond.m_lastActivity;
    pageBeyond.m_lastActivity = relayingBeyond.m_lastActivity;

    m_probe.applyIdleLimits();

    EXPECT_FALSE(relayingAtLimit.m_closing);
    EXPECT_TRUE(relayingBeyond.m_closing);
    EXPECT_TRUE(waitingBeyond.m_closing);
    EXPECT_TRUE(pageBeyond.m_closing);
    EXPECT_TRUE(m_env.log().events().empty());
}

// 0xFFFFFFFF in the registry, meant as "never", becomes the longest limit:
// a day-old idle connection stays.
TEST_F(LoopStepTest, TheLongestSocketTimeoutKeepsIdlePairs) {
    ServerParameters params = testParameters();
    params.socketTimeout = kLongestSocketTimeout;
    SocksProxyServer server(nullptr, params, L"test");
    server.m_connPairs.push_back(std::make_unique<ConnPair>());
    ConnPair& idle = *server.m_connPairs.back();
    idle.m_state = Relaying;
    idle.m_lastActivity = now() - 86400 * kSecond;
    SocksProxyServerProbe(server).applyIdleLimits();
    EXPECT_FALSE(idle.m_closing);
}

std::vector<platform::Socket> socketsOf(const std::vector<SocketEntry>& list) {
    std::vector<platform::Socket> out;
    for (const SocketEntry& e : list)
        out.push_back(e.sock);
    return out;
}

TEST_F(LoopStepTest, SelectListsFollowEachPairsStateAndPhase) {
    // Made-up socket numbers: nothing here may reach a real socket.
    m_env.sockets().failNext(Op::Close, platform::kWsaENotSock, -1);
    m_probe.setListenSock(900);
    m_probe.setWakeupSockets(901, 902);

    ConnPair& waiting = addPair(WaitingForUserInfo);
    waiting.m_browserSock = 10;
    waiting.m_tarnwicketSock = 11;
    ConnPair& connecting = addPair(ConnectingToTarnwicket);
    connecting.m_browserSock = 20;
    connecting.m_dialer.attemptsForTest() = {{21, {}, 0}, {22, {}, 0}};
    ConnPair& greeting = addPair(AwaitingMethodSelection);
    greeting.m_browserSock = 30;
    greeting.m_tarnwicketSock = 31;
    greeting.m_bs_tx_len = 3;
    ConnPair& replyPending = addPair(AwaitingSubnegotiationReply);
    replyPending.m_browserSock = 35;
    replyPending.m_tarnwicketSock = 36;
    ConnPair& relaying = addPair(Relaying);
    relaying.m_browserSock = 40;
    relaying.m_tarnwicketSock = 41;
    relaying.m_sendingToBrowser = true;
    relaying.m_sb_tx_len = 5;
    ConnPair& page = addPair(SendingErrorPage);
    page.m_browserSock = 50;
    page.m_sendingToBrowser = true;
    page.m_sb_tx_len = 1200;
    // A reply buffer with no room left is not read into again.
    ConnPair& flooded = addPair(AwaitingConnectReply);
    flooded.m_browserSock = 60;
    flooded.m_tarnwicketSock = 61;
    flooded.m_sb_rx_pos = static_cast<std::int32_t>(flooded.m_sb_buf.size());
    // A side that has ended its sending is not read again.
    ConnPair& browserEnded = addPair(Relaying);
    browserEnded.m_browserSock = 70;
    browserEnded.m_tarnwicketSock = 71;
    browserEnded.m_browserEnded = true;
    ConnPair& gatewayEnded = addPair(Relaying);
    gatewayEnded.m_browserSock = 80;
    gatewayEnded.m_tarnwicketSock = 81;
    gatewayEnded.m_tarnwicketEnded = true;

    m_probe.allocateSets();
    m_probe.buildSelectLists();

    using V = std::vector<platform::Socket>;
    EXPECT_EQ(socketsOf(m_probe.readList()), (V{902, 31, 36, 40, 50, 71, 80, 900}));
    EXPECT_EQ(socketsOf(m_probe.writeList()), (V{21, 22, 31, 40, 50}));
    EXPECT_EQ(socketsOf(m_probe.exceptList()), (V{21, 22}));
    EXPECT_EQ(m_probe.readList().front().pair, nullptr);
    EXPECT_EQ(m_probe.readList().back().pair, nullptr);
    EXPECT_EQ(m_probe.writeList()[1].pair, &connecting);
    EXPECT_EQ(m_probe.readSet().size(), 8u);

    // Once the page is out the browser is read (and its bytes dropped).
    page.m_sendingToBrowser = false;
    page.m_sb_tx_len = 0;
    m_probe.setWakeupSockets(platform::kInvalidSocket, platform::kInvalidSocket);
    m_probe.buildSelectLists();
    EXPECT_EQ(socketsOf(m_probe.readList()), (V{31, 36, 40, 50, 71, 80, 900}));
    EXPECT_EQ(socketsOf(m_probe.writeList()), (V{21, 22, 31, 40}));
    m_probe.setListenSock(platform::kInvalidSocket);
}

class ServeTest : public LoopStepTest {
protected:
    void SetUp() override {
        m_browser = loopback::connectedPair();
        m_gateway = loopback::connectedPair();
        ASSERT_NE(m_browser.near, platform::kInvalidSocket);
        ASSERT_NE(m_gateway.near, platform::kInvalidSocket);
        m_probe.allocateSets();
    }
    void TearDown() override {
        loopback::close(m_browser.far);
        loopback::close(m_gateway.far);
    }
    ConnPair& addConnectedPair(ConnState state) {
        ConnPair& cp = addPair(state);
        cp.m_browserSock = m_browser.near;
        cp.m_tarnwicketSock = m_gateway.near;
        return cp;
    }
    // What select would have left: the given sockets as ready.
    void markReady(std::initializer_list<platform::Socket> read,
                   std::initializer_list<platform::Socket> write) {
        m_probe.buildSelectLists();
        m_probe.readSet().clear();
        m_probe.writeSet().clear();
        m_probe.exceptSet().clear();
        for (platform::Socket s : read)
            m_probe.readSet().add(s);
        for (platform::Socket s : write)
            m_probe.writeSet().add(s);
    }

    loopback::Pair m_browser;
    loopback::Pair m_gateway;
};

TEST_F(ServeTest, ServingStopsOnceTheReadyCountIsReached) {
    ConnPair& cp = addConnectedPair(Relaying);
    cp.m_sendingToTarnwicket = true;  // "abc" is waiting for the gateway
    cp.m_bs_buf[0] = 'a';
    cp.m_bs_buf[1] = 'b';
    cp.m_bs_buf[2] = 'c';
    cp.m_bs_tx_len = 3;
    ASSERT_TRUE(loopback::sendAll(m_gateway.far, "xyz"));
    ASSERT_TRUE(loopback::waitReadable(m_gateway.near, std::chrono::seconds(10)));

    markReady({m_gateway.near}, {m_gateway.near});
    EXPECT_TRUE(m_probe.serveReadySockets(1));
    EXPECT_EQ(loopback::readExactly(m_browser.far, 3), "xyz");
    EXPECT_EQ(cp.m_bs_tx_len, 3) << "the write pass must not run";

    markReady({}, {m_gateway.near});
    EXPECT_TRUE(m_probe.serveReadySockets(1));
    EXPECT_EQ(cp.m_bs_tx_len, 0);
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 3), "abc");
}

// The gateway's socket while the pair connects: its one attempt.
ConnPair& connecting(ConnPair& cp) {
    cp.m_dialer.attemptsForTest() = {{cp.m_tarnwicketSock, {}, 0}};
    cp.m_tarnwicketSock = platform::kInvalidSocket;
    return cp;
}

TEST_F(ServeTest, WritableConnectingSocketSendsTheGreeting) {
    ConnPair& cp = connecting(addConnectedPair(ConnectingToTarnwicket));
    markReady({}, {m_gateway.near});
    EXPECT_TRUE(m_probe.serveReadySockets(1));
    EXPECT_EQ(cp.m_state, AwaitingMethodSelection);
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 3), std::string("\x05\x01\x80", 3));
}

TEST_F(ServeTest, UnreadableConnectErrorCountsAsErrorZero) {
    ConnPair& cp = connecting(addConnectedPair(ConnectingToTarnwicket));
    m_probe.buildSelectLists();
    m_probe.readSet().clear();
    m_probe.writeSet().clear();
    m_probe.exceptSet().clear();
    m_probe.exceptSet().add(m_gateway.near);
    m_env.sockets().failNext(Op::GetSocketError, platform::kWsaENotSock, 1, m_gateway.near);

    EXPECT_TRUE(m_probe.serveReadySockets(1));
    EXPECT_TRUE(m_env.log().contains("Could not fetch socket error code (SO_ERROR): 10038"));
    EXPECT_EQ(m_env.log().narrowTexts().front(),
              "Could not fetch socket error code (SO_ERROR): 10038");
    EXPECT_EQ(cp.m_state, SendingErrorPage);
    EXPECT_NE(bufferText(cp.m_sb_buf).find("HTTP/1.0 502 Bad Gateway"), std::string::npos);
}

}  // namespace
