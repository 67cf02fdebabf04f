#include <gtest/gtest.h>

#include <cstring>

#include "platform/errors.h"
#include "support/text_conversion.h"
#include "tests/socks/gateway_client_fixture.h"

namespace {

using GatewayConnectTest = GatewayClientTest;

const std::string kConnectOp = "SocksProxyServer::connectToTarnwicket()";

platform::SockAddrIn storedAddr(const ConnPair& cp) {
    platform::SockAddrIn addr;
    std::memcpy(&addr, cp.m_tarnwicketAddr.data(), sizeof addr);
    return addr;
}

std::string withCode(const std::string& lead, int code) {
    return lead + " (error code " + std::to_string(code) + " - " +
           systemErrorText(static_cast<std::uint32_t>(code)) + ")";
}

bool contains(const std::string& haystack, const std::string& needle) {
    return haystack.find(needle) != std::string::npos;
}

// ---- resolution -----------------------------------------------------------

TEST_F(GatewayConnectTest, EmptyAddressIsNotResolved) {
    server().m_tarnwicketIpAddr.clear();
    EXPECT_FALSE(resolveFor(server(), cp()));
    EXPECT_EQ(m_sockets.addrInfoCalls(), 0);
    EXPECT_EQ(cp().m_errorText, "Could not resolve Tarnwicket IP address");
    EXPECT_EQ(cp().m_tarnwicketAddrLen, 0);
    EXPECT_EQ(lines(), std::vector<std::string>{"TarnwicketIPAddress (registry setting) is empty"});
}

TEST_F(GatewayConnectTest, ResolverFailureCarriesCodeAndSystemText) {
    server().m_tarnwicketIpAddr = "gw.invalid";
    m_sockets.m_addrInfoResult = platform::kWsaHostNotFound;
    EXPECT_FALSE(resolveFor(server(), cp()));
    const std::string text = withCode("Could not resolve Tarnwicket IP address", 11001);
    EXPECT_EQ(cp().m_errorText, text);
    EXPECT_EQ(lines(), std::vector<std::string>{text});
    EXPECT_EQ(m_sockets.lastNode(), "gw.invalid");
}

TEST_F(GatewayConnectTest, NoIpv4EntryIsAResolutionFailure) {
    server().m_tarnwicketIpAddr = "gw6.example";
    for (const auto& entries :
         {std::vector<platform::AddrInfo>{FakeSocksSockets::v6(), FakeSocksSockets::v6()},
          std::vector<platform::AddrInfo>{}}) {
        log().clear();
        cp().m_errorText.clear();
        m_sockets.m_addrInfo = entries;
        EXPECT_FALSE(resolveFor(server(), cp()));
        EXPECT_EQ(cp().m_errorText, "Could not resolve Tarnwicket IP address");
        EXPECT_EQ(cp().m_tarnwicketAddrLen, 0);
        EXPECT_EQ(lines(), std::vector<std::string>{"No (IPv4) Tarnwicket address found"});
    }
}

TEST_F(GatewayConnectTest, FirstIpv4EntryIsTakenWithTheConfiguredPort) {
    server().m_tarnwicketIpAddr = "gw.example";
    server().m_tarnwicketPort = 3128;
    m_sockets.m_addrInfo = {FakeSocksSockets::v6(), FakeSocksSockets::v4(10, 1, 2, 3),
                            FakeSocksSockets::v4(10, 9, 9, 9)};
    ASSERT_TRUE(resolveFor(server(), cp()));
    EXPECT_EQ(cp().m_tarnwicketAddrLen, 16);
    EXPECT_TRUE(cp().m_errorText.empty());
    EXPECT_TRUE(lines().empty());
    // Port and address in network order, as the bytes of a sockaddr_in.
    const std::uint8_t* raw = cp().m_tarnwicketAddr.data();
    EXPECT_EQ(raw[2], 0x0C);
    EXPECT_EQ(raw[3], 0x38);
    EXPECT_EQ(raw[4], 10);
    EXPECT_EQ(raw[5], 1);
    EXPECT_EQ(raw[6], 2);
    EXPECT_EQ(raw[7], 3);
    EXPECT_EQ(storedAddr(cp()).family, platform::kAfInet);
}

// ---- connect ----------------------------------------------------------------

class GatewayConnectStepsTest : public GatewayClientTest {
protected:
    GatewayConnectStepsTest() {
        server().m_tarnwicketIpAddr = "gw.example";
        m_sockets.m_addrInfo = {FakeSocksSockets::v4(192, 0, 2, 7)};
        EXPECT_TRUE(resolveFor(server(), cp()));
    }
    bool closedGatewaySocket() {
        for (auto s : m_sockets.closed()) {
            if (s == kGw)
                return true;
        }
        return false;
    }
};

TEST_F(GatewayConnectStepsTest, ImmediateConnectSendsTheGreetingAtOnce) {
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_tarnwicketSock, kGw);
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    EXPECT_EQ(sent(), (Bytes{0x05, 0x01, 0x80}));
    EXPECT_EQ(m_sockets.lastConnectAddr().addr, storedAddr(cp()).addr);
    EXPECT_EQ(m_sockets.lastConnectAddr().port, platform::hostToNet16(1080));
    EXPECT_TRUE(lines().empty());
}

TEST_F(GatewayConnectStepsTest, ConnectInProgressWaitsForTheSocket) {
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    server().connectToTarnwicket(cp());
    EXPECT_EQ(cp().m_tarnwicketSock, kGw);
    EXPECT_EQ(cp().m_state, ConnectingToTarnwicket);
    EXPECT_TRUE(sent().empty());
    EXPECT_FALSE(closedGatewaySocket());
    EXPECT_TRUE(lines().empty());
}

TEST_F(GatewayConnectStepsTest, ImmediateConnectFailuresGiveTheirPages) {
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
    };
    for (const Case& c : cases) {
        ConnPair pair;
        pair.m_tarnwicketAddr = cp().m_tarnwicketAddr;
        pair.m_tarnwicketAddrLen = cp().m_tarnwicketAddrLen;
        log().clear();
        m_sockets.m_connectResult = c.code;

        server().connectToTarnwicket(pair);

        EXPECT_EQ(pair.m_state, SendingErrorPage) << c.text;
        EXPECT_EQ(pair.m_tarnwicketSock, platform::kInvalidSocket) << c.text;
        const std::string page(pair.m_sb_buf.begin(), pair.m_sb_buf.begin() + pair.m_sb_tx_len);
        EXPECT_EQ(page.rfind(c.status + "\r\n", 0), 0u) << page;
        EXPECT_TRUE(contains(page, "<h2>" + c.text + "</h2>")) << page;
        EXPECT_EQ(lines(), std::vector<std::string>{c.text});
    }
    EXPECT_EQ(m_sockets.closed().size(), 3u);
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
    EXPECT_TRUE(closedGatewaySocket());
    EXPECT_EQ(m_sockets.connectCalls(), 0);
    EXPECT_TRUE(contains(page(), "HTTP/1.0 500 Internal Server Error\r\n"));
    EXPECT_TRUE(contains(page(), "Could not connect to tarnwicket (internal error)"));
    EXPECT_EQ(lines(), std::vector<std::string>{
                           kConnectOp +
                           ", failed to set tarnwicket socket to non-blocking, WSAGetLastError() "
                           "= 10038"});
}

TEST_F(GatewayConnectStepsTest, LateConnectErrorKeepsTheSocketForThePair) {
    m_sockets.m_connectResult = platform::kWsaEWouldBlock;
    server().connectToTarnwicket(cp());
    // An unreadable SO_ERROR is passed on as 0.
    server().handleConnectError(cp(), 0);
    EXPECT_EQ(cp().m_state, SendingErrorPage);
    EXPECT_EQ(cp().m_tarnwicketSock, kGw);
    EXPECT_FALSE(closedGatewaySocket());
    const std::string text = withCode("Could not connect to Tarnwicket", 0);
    EXPECT_TRUE(contains(page(), "HTTP/1.0 502 Bad Gateway\r\n"));
    EXPECT_TRUE(contains(page(), text));
    EXPECT_EQ(lines(), std::vector<std::string>{text});
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
        platform::SockAddrIn addr;
        addr.family = platform::kAfInet;
        addr.addr = platform::loopbackAddr();
        EXPECT_EQ(platform::sockets().bind(m_sock, addr), 0);
        platform::SockAddrIn bound;
        EXPECT_EQ(platform::sockets().getSockName(m_sock, bound), 0);
        return platform::netToHost16(bound.port);
    }

private:
    platform::Socket m_sock = platform::kInvalidSocket;
};

class LoopbackConnectTest : public ::testing::Test {
protected:
    LoopbackConnectTest() : m_scope(withoutRegistry()) {
        m_server = std::make_unique<SocksProxyServer>(nullptr);
        m_server->m_tarnwicketIpAddr = "127.0.0.1";
        m_cp = std::make_unique<ConnPair>();
        m_recording.log().clear();
    }

    // What the loop does for a connect in progress: wait for the socket,
    // then complete or fail it.
    void finishConnect() {
        if (m_cp->m_state != ConnectingToTarnwicket)
            return;
        platform::SocketSet write, except;
        write.add(m_cp->m_tarnwicketSock);
        except.add(m_cp->m_tarnwicketSock);
        int ready = 0;
        ASSERT_EQ(platform::sockets().select(nullptr, &write, &except, 10 * 1000 * 1000, ready), 0);
        ASSERT_GT(ready, 0) << "connect did not finish in time";
        if (except.contains(m_cp->m_tarnwicketSock)) {
            int pending = 0;
            EXPECT_EQ(platform::sockets().getSocketError(m_cp->m_tarnwicketSock, pending), 0);
            m_server->handleConnectError(*m_cp, pending);
        } else {
            m_cp->m_state = ConnectedToTarnwicket;
            m_server->sendSocksGreeting(*m_cp);
        }
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
    m_server->m_tarnwicketPort = 4242;
    ASSERT_TRUE(resolveFor(*m_server, *m_cp));
    EXPECT_EQ(m_cp->m_tarnwicketAddrLen, 16);
    const platform::SockAddrIn addr = storedAddr(*m_cp);
    EXPECT_EQ(addr.family, platform::kAfInet);
    EXPECT_EQ(addr.addr, platform::loopbackAddr());
    EXPECT_EQ(platform::netToHost16(addr.port), 4242);
}

TEST_F(LoopbackConnectTest, RefusedConnectGivesTheRefusedPage) {
    // A bound port without a listener refuses, and nobody else can take it.
    OwnedSocket closedPort;
    m_server->m_tarnwicketPort = closedPort.bindLoopback();
    ASSERT_TRUE(resolveFor(*m_server, *m_cp));

    m_server->connectToTarnwicket(*m_cp);
    finishConnect();

    EXPECT_EQ(m_cp->m_state, SendingErrorPage);
    const std::string page(m_cp->m_sb_buf.begin(), m_cp->m_sb_buf.begin() + m_cp->m_sb_tx_len);
    EXPECT_TRUE(contains(page, "HTTP/1.0 502 Bad Gateway\r\n"));
    EXPECT_TRUE(contains(page, "Could not connect to Tarnwicket (connection refused)"));
    EXPECT_EQ(m_recording.log().narrowTexts(),
              std::vector<std::string>{"Could not connect to Tarnwicket (connection refused)"});
}

TEST_F(LoopbackConnectTest, CompletedConnectDeliversTheGreeting) {
    OwnedSocket listener;
    m_server->m_tarnwicketPort = listener.bindLoopback();
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
