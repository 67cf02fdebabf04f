#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "platform/errors.h"
#include "proxy/error_page.h"
#include "proxy/socks_proxy_server.h"
#include "tests/fakes/fake_process.h"
#include "tests/fakes/fake_registry.h"
#include "tests/fakes/fake_relay_env.h"
#include "tests/proxy/server_probe.h"
#include "userinfo/user_information.h"

namespace {

using Op = FakeSockets::Op;
using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kWait{20};

class ServerLoopTest : public ::testing::Test {
protected:
    ServerLoopTest() { m_env.log().clear(); }  // the constructor's registry messages
    void TearDown() override {
        if (m_thread.joinable())
            stopServer();
        for (platform::Socket* s : {&m_browser.far, &m_gateway.far})
            loopback::close(*s);
    }

    // Runs the server on a thread of its own, on a port the system chooses.
    void startServer() {
        const int entered = m_env.sockets().calls(Op::Select);
        m_thread = std::thread([this] { m_result = m_server->run(); });
        ASSERT_TRUE(m_env.sockets().waitForSelectCalls(entered + 1));
        // Written before the first select and not again until teardown.
        m_port = loopback::localPort(probe().listenSock());
        ASSERT_NE(m_port, 0);
    }
    int stopServer() {
        m_server->stop();
        m_thread.join();
        return m_result;
    }
    // Waits until a whole loop iteration that began after everything the
    // test has done so far has reached its select.
    // Two wakeups: the first may be spent on a wait that was already under
    // way when the test acted.
    void iterate() {
        const int entered = m_env.sockets().calls(Op::Select);
        m_server->wakeupSelect();
        ASSERT_TRUE(m_env.sockets().waitForSelectCalls(entered + 1));
        m_server->wakeupSelect();
        ASSERT_TRUE(m_env.sockets().waitForSelectCalls(entered + 2));
    }
    // A pair the loop finds when it starts, as if accepted earlier.
    ConnPair& addPair(ConnState state) {
        m_browser = loopback::connectedPair();
        m_gateway = loopback::connectedPair();
        EXPECT_NE(m_browser.near, platform::kInvalidSocket);
        EXPECT_NE(m_gateway.near, platform::kInvalidSocket);
        m_server->m_connPairs.push_back(std::make_unique<ConnPair>());
        ConnPair& cp = *m_server->m_connPairs.back();
        cp.m_browserSock = m_browser.near;
        cp.m_tarnwicketSock = m_gateway.near;
        cp.m_state = state;
        cp.m_sendingToTarnwicket = state < Relaying;
        cp.m_lastActivity = m_env.clock().nowTicks();
        return cp;
    }
    bool quiet(platform::Socket sock) {
        return !loopback::waitReadable(sock, std::chrono::milliseconds(0));
    }

    // A fresh server with these parameters, before the test starts it.
    void useParameters(const ServerParameters& params) {
        m_server = std::make_unique<SocksProxyServer>(nullptr, params, L"test");
    }
    SocksProxyServerProbe probe() { return SocksProxyServerProbe(*m_server); }

    RelayEnv m_env;
    std::unique_ptr<SocksProxyServer> m_server =
        std::make_unique<SocksProxyServer>(nullptr, testParameters(), L"test");
    std::thread m_thread;
    int m_result = -1;
    std::uint16_t m_port = 0;
    loopback::Pair m_browser;
    loopback::Pair m_gateway;
};

TEST_F(ServerLoopTest, StopBeforeTheLoopEndsItAtTheFirstCheck) {
    FakeRegistry registry;  // read as the service reads it
    registry.setDword(L"ListenPort", 0);
    platform::Platform p = platform::current();
    p.registry = &registry;
    platform::ScopedPlatform scope(p);
    m_server = std::make_unique<SocksProxyServer>(nullptr);
    m_env.log().clear();
    m_server->stop();
    EXPECT_EQ(m_server->run(), 0);
    EXPECT_EQ(m_env.sockets().calls(Op::Select), 0);
    EXPECT_EQ(m_env.sockets().closed().size(), 5u)
        << "the two listening sockets, wakeup listener, wakeup pair";
    const std::vector<RecordedEvent> events = m_env.log().events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].text, L"service stopping");
    EXPECT_EQ(events[1].text, L"service starting");
    EXPECT_EQ(events[1].type, platform::kEventInformation);
    // The Windows registry seam keeps the base class's description.
    EXPECT_EQ(events[2].text.rfind(L"SocksProxyServer::run(), parameters from registry key "
                                   L"HKLM\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\"
                                   L"Parameters, listening on 127.0.0.1:",
                                   0),
              0u)
        << m_env.log().narrowTexts()[2];
}

namespace {

// The parameters come from a file that may be missing.
// Serves the parameters as a registry file would, and says it is one.
class FileBackedRegistry : public FakeRegistry {
public:
    explicit FileBackedRegistry(bool missing) : m_missing(missing) {
        setDword(L"ListenPort", 0);  // the system picks the port: the log must show that one
        setString(L"TarnwicketIpAddr", L"gw.example");
        setString(L"TarnwicketPort", L"1081");
        setString(L"OrganizationName", L"Org \"HQ\"");
        setDword(L"SocketTimeout", 42);
    }
    std::wstring describeSource(const std::wstring&, bool& missing) override {
        missing = m_missing;
        return L"registry file /etc/vc/params.reg";
    }

private:
    bool m_missing;
};

}  // namespace

TEST_F(ServerLoopTest, StartUpLogsTheSourceAndTheBoundAddressOfTheParameters) {
    const std::string missingText =
        "SocksProxyServer::SocksProxyServer(), registry file /etc/vc/params.reg does not exist, "
        "every parameter takes its default";
    for (bool missing : {false, true}) {
        FileBackedRegistry registry(missing);
        FakeProcess process;
        process.m_descriptorLimit = 16384;
        platform::Platform p = platform::current();
        p.registry = &registry;
        p.process = &process;
        platform::ScopedPlatform scope(p);
        m_env.log().clear();

        SocksProxyServer server(nullptr);
        ASSERT_EQ(m_env.log().count(missingText), missing ? 1u : 0u);
        if (missing) {
            EXPECT_EQ(m_env.log().narrowTexts().front(), missingText) << "before the five reads";
            EXPECT_EQ(m_env.log().events().front().type, platform::kEventWarning);
        }
        m_env.log().clear();
        server.stop();
        EXPECT_EQ(server.run(), 0);

        const std::vector<RecordedEvent> events = m_env.log().events();
        ASSERT_EQ(events.size(), 3u) << "stopping, starting, parameters";
        EXPECT_EQ(events[1].text, L"service starting");
        const std::string text = m_env.log().narrowTexts()[2];
        EXPECT_EQ(events[2].type, platform::kEventInformation);
        const std::string head =
            "SocksProxyServer::run(), parameters from registry file /etc/vc/params.reg, "
            "listening on 127.0.0.1:";
        const std::string tail =
            ", gateway \"gw.example\" port 1081, organisation \"Org \"HQ\"\", socket timeout 42 "
            "seconds, descriptor limit 16384";
        ASSERT_GT(text.size(), head.size() + tail.size()) << text;
        EXPECT_EQ(text.substr(0, head.size()), head);
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        // "<port> and [::1]:<port>", the port the system chose for both.
        const std::string ports = text.substr(head.size(), text.size() - head.size() - tail.size());
        const std::string port = ports.substr(0, ports.find(' '));
        EXPECT_EQ(port.find_first_not_of("0123456789"), std::string::npos) << ports;
        EXPECT_NE(port, "0") << "the requested port instead of the bound one";
        EXPECT_EQ(ports, port + " and [::1]:" + port);
    }
}

// Where the system has no descriptor limit nothing is said of it; a limit
// that cannot be raised is said once, and the relay goes on with it.
TEST_F(ServerLoopTest, StartUpRaisesTheDescriptorLimitAndSaysWhatItIs) {
    struct Case {
        std::uint64_t limit;
        std::uint32_t error;
        const wchar_t* tail;
    };
    for (const Case& c :
         {Case{0, 0, L" seconds"}, Case{1024, 1, L" seconds, descriptor limit 1024"}}) {
        FakeProcess process;
        process.m_descriptorLimit = c.limit;
        process.m_descriptorLimitError = c.error;
        platform::Platform p = platform::current();
        p.process = &process;
        platform::ScopedPlatform scope(p);
        SocksProxyServer server(nullptr, testParameters(), L"test");
        m_env.log().clear();
        server.stop();
        EXPECT_EQ(server.run(), 0) << "a limit that stays is no reason to stop";

        const std::vector<RecordedEvent> events = m_env.log().events();
        const std::wstring warning =
            L"SocksProxyServer::run(), failed to raise the descriptor limit, error = 1";
        ASSERT_EQ(events.size(), c.error != 0 ? 4u : 3u);
        if (c.error != 0) {
            EXPECT_EQ(events[2].text, warning);
            EXPECT_EQ(events[2].type, platform::kEventWarning);
        }
        const std::wstring summary = events.back().text;
        const std::wstring tail = c.tail;
        ASSERT_GT(summary.size(), tail.size()) << m_env.log().narrowTexts().back();
        EXPECT_EQ(summary.substr(summary.size() - tail.size()), tail)
            << m_env.log().narrowTexts().back();
    }
}

TEST_F(ServerLoopTest, ListeningSocketFailuresEndRunWithOne) {
    m_env.sockets().failNext(Op::Bind, platform::kWsaEAddrInUse);
    EXPECT_EQ(m_server->run(), 1);
    EXPECT_TRUE(m_env.log().contains("failed to bind listening sock, WSAGetLastError() = 10048"));
    EXPECT_EQ(m_env.sockets().calls(Op::CreateTcp), 1) << "no wakeup pair";
    EXPECT_EQ(m_env.sockets().closed().size(), 1u);
    EXPECT_EQ(m_env.sockets().calls(Op::Select), 0);

    m_env.log().clear();
    m_env.sockets().failNext(Op::CreateTcp, platform::kWsaEMFile);
    EXPECT_EQ(m_server->run(), 1);
    EXPECT_EQ(
        m_env.log().narrowTexts(),
        (std::vector<std::string>{"service starting",
                                  "failed to create listening sock, WSAGetLastError() = 10024"}));
}

TEST_F(ServerLoopTest, StopDuringTheLongWaitEndsTheLoopAtOnce) {
    startServer();
    EXPECT_EQ(m_env.sockets().selectTimeouts().front(), 5000000);
    const auto start = Clock::now();
    EXPECT_EQ(stopServer(), 0);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

// Moves data both ways through the far ends until all has arrived.
struct Flow {
    platform::Socket from;
    platform::Socket to;
    std::string data;
    std::size_t sent = 0;
    std::string received;
};

bool pump(std::vector<Flow*> flows, std::chrono::seconds limit) {
    auto& native = platform::nativeSockets();
    for (Flow* f : flows) {
        native.setNonBlocking(f->from);
        native.setNonBlocking(f->to);
    }
    const auto deadline = Clock::now() + limit;
    std::vector<std::uint8_t> buf(65536);
    while (Clock::now() < deadline) {
        platform::SocketSet read, write;
        bool done = true;
        for (Flow* f : flows) {
            if (f->sent < f->data.size()) {
                write.add(f->from);
                done = false;
            }
            if (f->received.size() < f->data.size()) {
                read.add(f->to);
                done = false;
            }
        }
        if (done)
            return true;
        int ready = 0;
        native.select(read.empty() ? nullptr : &read, write.empty() ? nullptr : &write, nullptr,
                      100000, ready);
        for (Flow* f : flows) {
            int n = 0;
            if (write.contains(f->from) &&
                native.send(f->from,
                            reinterpret_cast<const std::uint8_t*>(f->data.data()) + f->sent,
                            static_cast<int>(f->data.size() - f->sent), n) == 0) {
                f->sent += static_cast<std::size_t>(n);
            }
            if (read.contains(f->to) &&
                native.recv(f->to, buf.data(), static_cast<int>(buf.size()), n) == 0) {
                f->received.append(reinterpret_cast<const char*>(buf.data()),
                                   static_cast<std::size_t>(n));
            }
        }
    }
    return false;
}

std::string pattern(std::size_t n, unsigned seed) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 31 + seed) % 251);
    return s;
}

TEST_F(ServerLoopTest, RelaysBothDirectionsInOrderThroughPartialSends) {
    addPair(Relaying);
    m_env.sockets().limitSend(m_browser.near, 1000);
    m_env.sockets().limitSend(m_gateway.near, 777);
    startServer();

    Flow up{m_browser.far, m_gateway.far, pattern(300000, 1), 0, {}};
    Flow down{m_gateway.far, m_browser.far, pattern(500000, 2), 0, {}};
    ASSERT_TRUE(pump({&up, &down}, kWait));
    EXPECT_TRUE(up.received == up.data);
    EXPECT_TRUE(down.received == down.data);
    EXPECT_EQ(stopServer(), 0);
    EXPECT_EQ(m_env.log().events().size(), 3u) << "only starting, parameters and stopping";
}

TEST_F(ServerLoopTest, StalledNegotiationGetsThe504PageAfterTheLimit) {
    addPair(AwaitingMethodSelection);
    startServer();
    m_env.clock().advanceSeconds(10);
    iterate();
    EXPECT_TRUE(quiet(m_browser.far));

    m_env.clock().advanceSeconds(0.5);
    iterate();
    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(m_browser.far, ended),
              buildErrorResponse(GatewayTimeout, "Proxy negotiation timed out"));
    EXPECT_TRUE(ended);
    EXPECT_EQ(m_env.log().count("SOCKS negotation with Tarnwicket timed out"), 1u);
}

TEST_F(ServerLoopTest, IdleRelayingPairIsClosedSilentlyAndTrafficRestartsTheCount) {
    ServerParameters params = testParameters();
    params.socketTimeout = 30;
    useParameters(params);
    addPair(Relaying);
    startServer();
    m_env.clock().advanceSeconds(20);
    ASSERT_TRUE(loopback::sendAll(m_browser.far, "ping"));
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 4), "ping");
    iterate();  // the relay stamps its activity just after the send
    m_env.clock().advanceSeconds(20);
    iterate();
    EXPECT_TRUE(quiet(m_gateway.far)) << "40 s since accept, 20 s since the last traffic";

    m_env.clock().advanceSeconds(10.5);
    iterate();  // marks it closing
    iterate();  // destroys it
    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(m_browser.far, ended), "");
    EXPECT_TRUE(ended);
    EXPECT_EQ(loopback::readToEnd(m_gateway.far, ended), "");
    EXPECT_TRUE(ended);
    EXPECT_EQ(stopServer(), 0);
    EXPECT_EQ(m_env.log().events().size(), 3u) << "starting, parameters, stopping";
}

TEST_F(ServerLoopTest, ConnectionWithoutAnOwnerIsClosedUnanswered) {
    m_env.tcpTable().m_attributes = false;
    startServer();
    platform::Socket client = loopback::connectTo(m_port);
    const std::string from = "127.0.0.1:" + std::to_string(loopback::localPort(client));
    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(client, ended), "");
    EXPECT_TRUE(ended);
    loopback::close(client);
    EXPECT_EQ(stopServer(), 0);
    EXPECT_TRUE(
        m_env.log().contains("getClientSocketPID(), no owner found for the connection from " +
                             from + " to 127.0.0.1:" + std::to_string(m_port)));
    EXPECT_EQ(m_env.log().events().size(), 4u) << "starting, parameters, no owner, stopping";
}

TEST_F(ServerLoopTest, UnresolvableGatewayGetsThe502PageWithTheResolverText) {
    useParameters(testParameters());
    startServer();
    platform::Socket client = loopback::connectTo(m_port);
    ASSERT_TRUE(loopback::sendAll(client, "GET http://example.test/ HTTP/1.1\r\n\r\n"));
    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(client, ended),
              buildErrorResponse(BadGateway, "Could not resolve Tarnwicket IP address"));
    EXPECT_TRUE(ended);
    loopback::close(client);
    EXPECT_EQ(stopServer(), 0);
    EXPECT_TRUE(m_env.log().contains("TarnwicketIPAddress (registry setting) is empty"));
}

TEST_F(ServerLoopTest, AttributedConnectionReachesTheGatewayWithTheGreeting) {
    auto& native = platform::nativeSockets();
    platform::Socket gatewayListener = platform::kInvalidSocket;
    ASSERT_EQ(native.createTcp(gatewayListener), 0);
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    ASSERT_EQ(native.bind(gatewayListener, addr), 0);
    ASSERT_EQ(native.listen(gatewayListener, 1), 0);
    UserInformation userInformation;  // every process is in session 0 here
    m_server = std::make_unique<SocksProxyServer>(
        &userInformation, testParameters("127.0.0.1", loopback::localPort(gatewayListener)),
        L"test");
    startServer();

    platform::Socket client = loopback::connectTo(m_port);
    ASSERT_TRUE(loopback::waitReadable(gatewayListener, kWait));
    ASSERT_EQ(native.accept(gatewayListener, m_gateway.far, nullptr), 0);
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 3), std::string("\x05\x01\x80", 3));

    // A gateway that hangs up during the negotiation: no page, just the end.
    loopback::close(m_gateway.far);
    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(client, ended), "");
    EXPECT_TRUE(ended);
    loopback::close(client);
    native.close(gatewayListener);
    EXPECT_EQ(stopServer(), 0);
}

TEST_F(ServerLoopTest, TransientAcceptFailureIsLoggedAndAcceptingGoesOn) {
    startServer();
    m_env.sockets().failNext(Op::Accept, platform::kWsaEConnReset, 1, probe().listenSock());
    platform::Socket client = loopback::connectTo(m_port);
    bool ended = false;
    // The connection waits in the backlog and is taken on the next try.
    EXPECT_EQ(loopback::readToEnd(client, ended),
              buildErrorResponse(BadGateway, "Could not resolve Tarnwicket IP address"));
    loopback::close(client);
    EXPECT_EQ(stopServer(), 0);
    EXPECT_EQ(m_env.log().count("SocksProxyServer::acceptNewConn(), accept() returned error, "
                                "WSAGetLastError() = 10054"),
              1u);
}

TEST_F(ServerLoopTest, AcceptFailuresThatCannotRecoverEndTheLoop) {
    for (int code : {platform::kWsaENetDown, platform::kWsaENotSock}) {
        m_env.log().clear();
        m_env.clock().advanceSeconds(1);  // the last accept failure was logged just now
        startServer();
        m_env.sockets().failNext(Op::Accept, code, 1, probe().listenSock());
        platform::Socket client = loopback::connectTo(m_port);
        m_thread.join();  // ends by itself
        EXPECT_EQ(m_result, 0);
        EXPECT_TRUE(m_env.log().contains(
            "SocksProxyServer::acceptNewConn(), accept() returned error, WSAGetLastError() = " +
            std::to_string(code)));
        loopback::close(client);
    }
}

TEST_F(ServerLoopTest, RepeatedAcceptFailureBacksOffInsteadOfSpinning) {
    probe().setBackoff(std::chrono::milliseconds(20), std::chrono::milliseconds(1000));
    startServer();
    m_env.sockets().failNext(Op::Accept, platform::kWsaEMFile, -1, probe().listenSock());
    const int accepts = m_env.sockets().calls(Op::Accept);  // the wakeup pair's
    const auto start = Clock::now();
    platform::Socket client = loopback::connectTo(m_port);
    ASSERT_TRUE(m_env.sockets().waitForCalls(Op::Accept, accepts + 5));
    // Pauses of 20, 40, 80 and 160 ms lie between the first and the fifth try.
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    // Said once; the others are held back for a second.
    EXPECT_EQ(m_env.log().count("accept() returned error, WSAGetLastError() = 10024"), 1u);
    bool shortened = false;
    for (long t : m_env.sockets().selectTimeouts())
        shortened = shortened || t < 500000;
    EXPECT_TRUE(shortened) << "the wait ends when accepting resumes";

    m_env.sockets().clearFailures();
    bool ended = false;
    EXPECT_NE(loopback::readToEnd(client, ended), "") << "accepted once the failure is gone";
    loopback::close(client);
    EXPECT_EQ(stopServer(), 0);
}

TEST_F(ServerLoopTest, RepeatedSelectFailureIsLoggedEachTimeWithPausesBetween) {
    m_env.sockets().failNext(Op::Select, platform::kWsaEInval, 3);
    const auto start = Clock::now();
    startServer();
    ASSERT_TRUE(m_env.sockets().waitForSelectCalls(4));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(350));
    EXPECT_EQ(m_env.log().count("select() returned SOCKET_ERROR, WSAGetLastError() = 10022"), 3u);
    EXPECT_EQ(stopServer(), 0);
}

TEST_F(ServerLoopTest, FailedWakeupPairIsRetiredForShortWaits) {
    startServer();
    m_env.sockets().failNext(Op::Recv, platform::kWsaEConnReset);  // the only receive is m_fds[1]
    iterate();
    EXPECT_TRUE(
        m_env.log().contains("SocksProxyServer::recvFromWakeupSocketPair(), recv() from "
                             "m_fds[1] returned an error, WSAGetLastError() = 10054"));
    // The next iteration closes the pair; waits are short from then on.
    ASSERT_TRUE(m_env.sockets().waitForSelectCalls(m_env.sockets().calls(Op::Select) + 1));
    EXPECT_EQ(m_env.sockets().selectTimeouts().back(), 500000);

    const std::size_t before = m_env.log().events().size();
    m_server->wakeupSelect();
    EXPECT_EQ(m_env.log().events().size(), before) << "no pair, nothing sent, nothing logged";
    EXPECT_EQ(stopServer(), 0);
}

TEST_F(ServerLoopTest, WakeupsRacingTheClosingOfThePairNeverSendOnAClosedSocket) {
    startServer();
    std::atomic<bool> done{false};
    std::thread waker([&] {
        for (int i = 0; i < 3000 && !done; ++i)
            m_server->wakeupSelect();
    });
    m_env.sockets().failNext(Op::Recv, platform::kWsaEConnReset);
    m_server->wakeupSelect();
    ASSERT_TRUE(m_env.sockets().waitForSelectCalls(m_env.sockets().calls(Op::Select) + 2));
    done = true;
    waker.join();
    EXPECT_EQ(stopServer(), 0);
    EXPECT_FALSE(m_env.log().contains("send() to m_fds[0]"));
}

}  // namespace
