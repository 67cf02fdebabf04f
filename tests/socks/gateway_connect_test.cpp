#include <gtest/gtest.h>

#include <cstring>

#include "platform/errors.h"
#include "support/text_conversion.h"
#include "tests/proxy/server_probe.h"
#include "tests/socks/gateway_client_fixture.h"

namespace {

using GatewayConnectTest = GatewayClientTest;

const std::string kConnectOp = "SocksProxyServer::connectToTarnwicket()";
constexpr std::int64_t kMs = platform::kTicksPerSecond / 1000;

std::string withCode(const std::string& lead, int code) {
    return lead + " (error code " + std::to_string(code) + " - " +
           systemErrorText(static_cast<std::uint32_t>(code)) + ")";
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// ---- resolution -----------------------------------------------------------

TEST_F(GatewayConnectTest, EmptyAddressIsNotResolved) {
    useGateway("");
    EXPECT_FALSE(resolveFor(server(), cp()));
    EXPECT_EQ(m_sockets.addrInfoCalls(), 0);
    EXPECT_EQ(cp().m_errorText, "Could not resolve Tarnwicket IP address");
    EXPECT_TRUE(cp().m_tarnwicketAddrs.empty());
    EXPECT_EQ(lines(), std::vector<std::string>{"TarnwicketIPAddress (registry setting) is empty"});
}

TEST_F(GatewayConnectTest, ResolverFailureCarriesCodeAndSystemText) {
    useGateway("gw.invalid");
    m_sockets.m_addrInfoResult = platform::kWsaHostNotFound;
    EXPECT_FALSE(resolveFor(server(), cp()));
    const std::string text = withCode("Could not resolve Tarnwicket IP address", 11001);
    EXPECT_EQ(cp().m_errorText, text);
    EXPECT_EQ(lines(), std::vector<std::string>{text});
    EXPECT_EQ(m_sockets.lastNode(), "gw.invalid");
}

TEST_F(GatewayConnectTest, NoUsableEntryIsAResolutionFailure) {
    useGateway("gw.example");
    for (const auto& entries : {std::vector<platform::AddrInfo>{FakeSocksSockets::other()},
                                std::vector<platform::AddrInfo>{}}) {
        log().clear();
        m_sockets.m_addrInfo = entries;
        EXPECT_FALSE(resolveFor(server(), cp()));
        EXPECT_EQ(cp().m_errorText, "Could not resolve Tarnwicket IP address");
        EXPECT_EQ(lines(), std::vector<std::string>{"No (IPv4) Tarnwicket address found"});
    }
}

// Every IPv4 and IPv6 address, in the resolver's order, each once (the
// resolver repeats them per socket type), with the configured port.
TEST_F(GatewayConnectTest, EveryAddressIsKeptInTheResolversOrder) {
    useGateway("gw.example", 3128);
    const auto a = FakeSocksSockets::v6(7);
    const auto b = FakeSocksSockets::v4(10, 1, 2, 3);
    const auto c = FakeSocksSockets::v4(10, 9, 9, 9);
    m_sockets.m_addrInfo = {a, b, FakeSocksSockets::other(), b, c, a};
    ASSERT_TRUE(resolveFor(server(), cp()));
    EXPECT_EQ(cp().m_tarnwicketAddrs,
              (std::vector<platform::SockAddr>{FakeSocksSockets::withPort(a, 3128),
                                               FakeSocksSockets::withPort(b, 3128),
                                               FakeSocksSockets::withPort(c, 3128)}));
    EXPECT_TRUE(lines().empty());
    EXPECT_EQ(addressText(cp().m_tarnwicketAddrs[0]), "[2001:db8::7]:3128");
    EXPECT_EQ(addressText(cp().m_tarnwicketAddrs[1]), "10.1.2.3:3128");
}

// ---- connect ----------------------------------------------------------------

class GatewayConnectStepsTest : public GatewayClientTest {
protected:
    GatewayConnectStepsTest() {
        useGateway("gw.example");
        useAddresses({m_first});
    }
    void useAddresses(const std::vector<platform::AddrInfo>& entries) {
        m_sockets.m_addrInfo = entries;
        EXPECT_TRUE(resolveFor(server(), cp()));
    }
    bool closedSocket(platform::Socket s) {
        for (auto closed : m_sockets.closed()) {
            if (closed == s)
                return true;
        }
        return false;
    }
    std::int64_t now() { return m_recording.clock().nowTicks(); }
    platform::SockAddr addr(const platform::AddrInfo& info) {
        return FakeSocksSockets::withPort(info, 1080);
    }
    // Made for each use: useGateway replaces the server.
    SocksProxyServerProbe probe() { return SocksProxyServerProbe(server()); }
    // The loop's wait on the pair's attempts ending: made, or failed.
    void made(platform::Socket s) { probe().attemptWritable(cp(), s); }
    void failed(platform::Socket s, int error) { probe().attemptFailed(cp(), s, error); }
    void later(std::int64_t ticks) {
        m_recording.clock().advanceTicks(ticks);
        probe().advanceAttempts(cp(), now());
    }
    // A connection from start to its connect, on a fresh pair.
    void connectAgain() {
        freshPair();
        EXPECT_TRUE(resolveFor(server(), cp()));
        server().connectToTarnwicket(cp());
    }

    const platform::AddrInfo m_first = FakeSocksSockets::v4(192, 0, 2, 7);
    const platform::AddrInfo m_second = FakeSocksSockets::v6(8);
    const platform::AddrInfo m_third = FakeSocksSockets::v4(192, 0, 2, 9);
};

TEST_F(GatewayConnectStepsTest, ImmediateConnectSendsTheGreetingAtOnce) {
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_tarnwicketSock, kGw);
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    EXPECT_EQ(sent(), (Bytes{0x05, 0x01, 0x80}));
    EXPECT_EQ(m_sockets.lastConnectAddr(), addr(m_first));
    EXPECT_TRUE(lines().empty());
}

TEST_F(GatewayConnectStepsTest, ConnectInProgressWaitsForTheSocket) {
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_state, ConnectingToTarnwicket);
    ASSERT_EQ(cp().m_dialer.attemptsForTest().size(), 1u);
    EXPECT_EQ(cp().m_dialer.attemptsForTest()[0].sock, kGw);
    EXPECT_TRUE(sent().empty());
    made(kGw);
    EXPECT_EQ(cp().m_tarnwicketSock, kGw);
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    EXPECT_TRUE(cp().m_dialer.attemptsForTest().empty());
    EXPECT_EQ(sent(), (Bytes{0x05, 0x01, 0x80}));
    EXPECT_TRUE(lines().empty());
}

// A refusal or an immediate failure moves on to the next address at once;
// the first to connect carries the pair.
TEST_F(GatewayConnectStepsTest, FailuresMoveToTheNextAddressAtOnce) {
    useAddresses({m_first, m_second, m_third});
    m_sockets.setConnectResult(addr(m_first), platform::kWsaEConnRefused);
    m_sockets.setConnectResult(addr(m_second), platform::kWsaENetUnreach);
    m_sockets.setConnectResult(addr(m_third), platform::kWsaEWouldBlock);
    server().connectToTarnwicket(cp());
    EXPECT_EQ(m_sockets.connectAddrs(),
              (std::vector<platform::SockAddr>{addr(m_first), addr(m_second), addr(m_third)}));
    ASSERT_EQ(cp().m_dialer.attemptsForTest().size(), 1u);
    made(cp().m_dialer.attemptsForTest()[0].sock);
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  kConnectOp + ", gateway address 192.0.2.7:1080 failed (connection refused), "
                               "tried after the others for 60 seconds",
                  kConnectOp + ", gateway address [2001:db8::8]:1080 failed (" +
                      withCode("", platform::kWsaENetUnreach).substr(2) +
                      ", tried after the others for 60 seconds"}));
}

// An attempt with no answer after the stagger delay gets the next one
// alongside; the first to connect wins, the others are closed, and one that
// did not answer in time counts as failing.
TEST_F(GatewayConnectStepsTest, ASilentAddressGetsTheNextAlongsideAfterTheDelay) {
    useAddresses({m_first, m_second});
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    server().connectToTarnwicket(cp());
    ASSERT_EQ(cp().m_dialer.attemptsForTest().size(), 1u);
    later(249 * kMs);
    EXPECT_EQ(cp().m_dialer.attemptsForTest().size(), 1u) << "not yet";
    later(1 * kMs);
    ASSERT_EQ(cp().m_dialer.attemptsForTest().size(), 2u);
    const platform::Socket silent = cp().m_dialer.attemptsForTest()[0].sock;
    const platform::Socket second = cp().m_dialer.attemptsForTest()[1].sock;
    later(1000 * kMs);
    EXPECT_EQ(cp().m_dialer.attemptsForTest().size(), 2u) << "no address is left to try";
    made(second);
    EXPECT_EQ(cp().m_tarnwicketSock, second);
    EXPECT_TRUE(closedSocket(silent));
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kConnectOp + ", gateway address 192.0.2.7:1080 failed (no answer "
                                        "within 250 ms), tried after the others for 60 seconds"});

    // Known as failing, it comes last for the next connection.
    connectAgain();
    EXPECT_EQ(m_sockets.lastConnectAddr(), addr(m_second));
}

// A failing address comes after the others for 60 s and is said to fail
// once; when it answers again that is said once too. Twenty connections
// through a name whose first address is dead give one warning.
TEST_F(GatewayConnectStepsTest, AFailingAddressIsRememberedAndSaidToFailOnce) {
    useAddresses({m_first, m_second});
    m_sockets.setConnectResult(addr(m_first), platform::kWsaEConnRefused);
    for (int i = 0; i < 20; ++i) {
        connectAgain();
        EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    }
    EXPECT_EQ(m_sockets.connectCalls(), 21) << "the dead address was tried once";
    EXPECT_EQ(log().events().size(), 1u);
    EXPECT_EQ(log().events()[0].type, platform::kEventWarning);

    // After 60 s it is first again; still dead, nothing more is said.
    m_recording.clock().advanceSeconds(60);
    connectAgain();
    EXPECT_EQ(m_sockets.connectCalls(), 23);
    EXPECT_EQ(log().events().size(), 1u);
    // Back: said once, and first in line from then on.
    m_recording.clock().advanceSeconds(60);
    m_sockets.setConnectResult(addr(m_first), 0);
    log().clear();
    connectAgain();
    EXPECT_EQ(m_sockets.lastConnectAddr(), addr(m_first));
    EXPECT_EQ(lines(), std::vector<std::string>{kConnectOp + ", gateway address 192.0.2.7:1080 "
                                                             "answers again"});
    EXPECT_EQ(log().events()[0].type, platform::kEventInformation);
}

// When every address has failed the browser gets the page of the last
// failure: refused 502, timed out 504, anything else 502; and only that
// failure is an error message.
TEST_F(GatewayConnectStepsTest, ThePageIsForTheLastFailure) {
    struct Case {
        int code;
        std::string status;
        std::string text;
    };
    const Case cases[] = {
        {platform::kWsaEConnRefused, "HTTP/1.0 502 Bad Gateway",
         "Could not connect to Tarnwicket (connection refused)"},
        {platform::kWsaETimedOut, "HTTP/1.0 504 Gateway Timeout",
         "Could not connect to Tarnwicket (connection timed out)"},
        {platform::kWsaEHostUnreach, "HTTP/1.0 502 Bad Gateway",
         withCode("Could not connect to Tarnwicket", platform::kWsaEHostUnreach)},
        {0, "HTTP/1.0 502 Bad Gateway", withCode("Could not connect to Tarnwicket", 0)},
    };
    useAddresses({m_first, m_second});
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    for (const Case& c : cases) {
        m_recording.clock().advanceSeconds(61);  // nothing remembered
        connectAgain();
        later(250 * kMs);
        ASSERT_EQ(cp().m_dialer.attemptsForTest().size(), 2u);
        const platform::Socket first = cp().m_dialer.attemptsForTest()[0].sock;
        const platform::Socket second = cp().m_dialer.attemptsForTest()[1].sock;
        failed(first, platform::kWsaEConnRefused);
        EXPECT_EQ(cp().m_state, ConnectingToTarnwicket) << "one attempt is still in flight";
        log().clear();
        failed(second, c.code);  // an unreadable SO_ERROR is passed on as 0
        EXPECT_EQ(cp().m_state, SendingErrorPage) << c.text;
        EXPECT_EQ(page().rfind(c.status + "\r\n", 0), 0u) << page();
        EXPECT_TRUE(contains(page(), "<h2>" + c.text + "</h2>")) << page();
        EXPECT_EQ(lines().back(), c.text);
        EXPECT_TRUE(closedSocket(first) && closedSocket(second));
    }
}

TEST_F(GatewayConnectStepsTest, SocketCreationFailureGivesPage500) {
    m_sockets.m_createResult = platform::kWsaEMFile;
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_state, SendingErrorPage);
    EXPECT_EQ(m_sockets.connectCalls(), 0);
    EXPECT_TRUE(contains(page(), "HTTP/1.0 500 Internal Server Error\r\n"));
    EXPECT_TRUE(contains(page(), withCode("Could not connect to Tarnwicket", 10024)));
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kConnectOp + ", failed to create socket for connecting to tarnwicket, "
                                        "WSAGetLastError() = 10024"});
}

TEST_F(GatewayConnectStepsTest, NoDelayFailureIsLoggedAndTheConnectGoesOn) {
    m_sockets.m_noDelayResult = platform::kWsaENoBufs;
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_state, ConnectingToTarnwicket);
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kConnectOp +
                           ", failed to set tarnwicket socket to TCP_NODELAY, WSAGetLastError() "
                           "= 10055"});
}

TEST_F(GatewayConnectStepsTest, NonBlockingFailureClosesTheSocketAndGivesPage500) {
    m_sockets.m_nonBlockingResult = platform::kWsaENotSock;
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_state, SendingErrorPage);
    EXPECT_EQ(cp().m_tarnwicketSock, platform::kInvalidSocket);
    EXPECT_TRUE(closedSocket(kGw));
    EXPECT_EQ(m_sockets.connectCalls(), 0);
    EXPECT_TRUE(contains(page(), "HTTP/1.0 500 Internal Server Error\r\n"));
    EXPECT_TRUE(contains(page(), "Could not connect to tarnwicket (internal error)"));
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kConnectOp +
                           ", failed to set tarnwicket socket to non-blocking, WSAGetLastError() "
                           "= 10038"});
}

// ---- real loopback sockets --------------------------------------------------

// A native TCP socket closed at scope end.
class OwnedSocket {
public:
    explicit OwnedSocket(bool create = true) {
        if (create) {
            EXPECT_EQ(platform::sockets().createTcp(m_sock), 0);
        }
    }
    ~OwnedSocket() {
        if (m_sock != platform::kInvalidSocket)
            platform::sockets().close(m_sock);
    }
    OwnedSocket(const OwnedSocket&) = delete;
    OwnedSocket& operator=(const OwnedSocket&) = delete;
    platform::Socket get() const { return m_sock; }
    platform::Socket* out() { return &m_sock; }

    // Binds to 127.0.0.1 on a port of the system's choice; returns the port.
    std::uint16_t bindLoopback() {
        platform::SockAddr addr;
        addr.family = platform::kAfInet;
        addr.addr = platform::loopbackAddr();
        EXPECT_EQ(platform::sockets().bind(m_sock, addr), 0);
        platform::SockAddr bound;
        EXPECT_EQ(platform::sockets().getSockName(m_sock, bound), 0);
        return platform::netToHost16(bound.port);
    }

private:
    platform::Socket m_sock = platform::kInvalidSocket;
};

class LoopbackConnectTest : public ::testing::Test {
protected:
    LoopbackConnectTest() : m_scope(withoutRegistry()) {
        usePort(1080);
        m_cp = std::make_unique<ConnPair>();
        m_recording.log().clear();
    }

    // What the loop does for a connect in progress: wait for the socket,
    // then complete or fail it.
    void finishConnect() {
        if (m_cp->m_state != ConnectingToTarnwicket)
            return;
        const platform::Socket attempt = m_cp->m_dialer.attemptsForTest().at(0).sock;
        platform::SocketSet write, except;
        write.add(attempt);
        except.add(attempt);
        int ready = 0;
        ASSERT_EQ(platform::sockets().select(nullptr, &write, &except, 10 * 1000 * 1000, ready), 0);
        ASSERT_GT(ready, 0) << "connect did not finish in time";
        SocksProxyServerProbe probe(*m_server);
        if (except.contains(attempt)) {
            int pending = 0;
            EXPECT_EQ(platform::sockets().getSocketError(attempt, pending), 0);
            probe.attemptFailed(*m_cp, attempt, pending);
        } else {
            probe.attemptWritable(*m_cp, attempt);
        }
    }

    // A fresh server whose gateway is 127.0.0.1:port.
    void usePort(std::uint16_t port) {
        m_server =
            std::make_unique<SocksProxyServer>(nullptr, testParameters("127.0.0.1", port), L"test");
    }

    RecordingPlatform m_recording{true};
    platform::Registry m_noRegistry;

private:
    platform::Platform withoutRegistry() {
        platform::Platform p = platform::current();
        p.registry = &m_noRegistry;
        return p;
    }
    platform::ScopedPlatform m_scope;

protected:
    std::unique_ptr<SocksProxyServer> m_server;
    std::unique_ptr<ConnPair> m_cp;
};

TEST_F(LoopbackConnectTest, DottedAddressResolvesToItself) {
    usePort(4242);
    ASSERT_TRUE(resolveFor(*m_server, *m_cp));
    ASSERT_EQ(m_cp->m_tarnwicketAddrs.size(), 1u);
    const platform::SockAddr addr = m_cp->m_tarnwicketAddrs[0];
    EXPECT_EQ(addr.family, platform::kAfInet);
    EXPECT_EQ(addr.addr, platform::loopbackAddr());
    EXPECT_EQ(platform::netToHost16(addr.port), 4242);
}

TEST_F(LoopbackConnectTest, RefusedConnectGivesTheRefusedPage) {
    // A bound port without a listener refuses, and nobody else can take it.
    OwnedSocket closedPort;
    usePort(closedPort.bindLoopback());
    ASSERT_TRUE(resolveFor(*m_server, *m_cp));

    m_server->connectToTarnwicket(*m_cp);
    finishConnect();

    EXPECT_EQ(m_cp->m_state, SendingErrorPage);
    const std::string page(m_cp->m_sb_buf.begin(), m_cp->m_sb_buf.begin() + m_cp->m_sb_tx_len);
    EXPECT_TRUE(contains(page, "HTTP/1.0 502 Bad Gateway\r\n"));
    EXPECT_TRUE(contains(page, "Could not connect to Tarnwicket (connection refused)"));
    EXPECT_EQ(m_recording.log().narrowTexts().back(),
              "Could not connect to Tarnwicket (connection refused)");
}

TEST_F(LoopbackConnectTest, CompletedConnectDeliversTheGreeting) {
    OwnedSocket listener;
    usePort(listener.bindLoopback());
    ASSERT_EQ(platform::sockets().listen(listener.get(), 1), 0);
    ASSERT_TRUE(resolveFor(*m_server, *m_cp));

    m_server->connectToTarnwicket(*m_cp);
    finishConnect();
    EXPECT_EQ(m_cp->m_state, AwaitingMethodSelection);
    EXPECT_TRUE(m_recording.log().texts().empty());

    OwnedSocket accepted(false);
    ASSERT_EQ(platform::sockets().accept(listener.get(), *accepted.out(), nullptr), 0);
    Bytes received;
    for (int i = 0; i < 3 && received.size() < 3; ++i) {
        platform::SocketSet readable;
        readable.add(accepted.get());
        int ready = 0;
        ASSERT_EQ(platform::sockets().select(&readable, nullptr, nullptr, 10 * 1000 * 1000, ready),
                  0);
        ASSERT_EQ(ready, 1);
        std::uint8_t buf[16];
        int n = 0;
        ASSERT_EQ(platform::sockets().recv(accepted.get(), buf, sizeof buf, n), 0);
        ASSERT_GT(n, 0);
        received.insert(received.end(), buf, buf + n);
    }
    EXPECT_EQ(received, (Bytes{0x05, 0x01, 0x80}));
}

}  // namespace
