// The gateway emulator is the yardstick of the end-to-end tests, so its own
// protocol handling is checked here against hand-made byte sequences.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/integration/emulator_process.h"
#include "tools/gateway-emulator/http_side.h"
#include "tools/gateway-emulator/identity.h"

using itest::Client;
using itest::EmulatorProcess;
using Bytes = std::vector<std::uint8_t>;

namespace {

const Bytes kGreeting{5, 1, 0x80};
const Bytes kConnectRequest{5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};

// Empty organisation, user D\u, one group S-1-5-32-545 named BUILTIN\Users.
Bytes samplePacket() {
    Bytes p{1, 0, 0, 3, 'D', '\\', 'u', 0, 1, 0, 12};
    for (char c : std::string("S-1-5-32-545"))
        p.push_back(static_cast<std::uint8_t>(c));
    p.insert(p.end(), {0, 13});
    for (char c : std::string("BUILTIN\\Users"))
        p.push_back(static_cast<std::uint8_t>(c));
    return p;
}

// Runs greeting and identity, expecting acceptance without a text.
void openTunnel(Client& client) {
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send(kGreeting));
    ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
    ASSERT_TRUE(client.send(samplePacket()));
    ASSERT_EQ(client.receive(2), (Bytes{1, 0}));
    ASSERT_TRUE(client.send(kConnectRequest));
    ASSERT_EQ(client.receive(10), (Bytes{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
}

// CONNECT to a port; address holds the ATYP's address bytes (a name with its
// length byte first).
Bytes connectRequest(std::uint8_t command, std::uint8_t atyp, const Bytes& address,
                     std::uint16_t port) {
    Bytes request{5, command, 0, atyp};
    for (std::uint8_t byte : address)
        request.push_back(byte);
    request.push_back(static_cast<std::uint8_t>(port >> 8));
    request.push_back(static_cast<std::uint8_t>(port & 0xFF));
    return request;
}

int loopbackListener(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(fd, 4) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        port = 0;
    } else {
        port = ntohs(addr.sin_port);
    }
    return fd;
}

// The site behind a forwarding gateway, for one connection: it says "hello",
// ends its own sending side at once, then collects what arrives until the
// other side ends too. Every wait is bounded.
class HalfClosingSite {
public:
    HalfClosingSite() : m_listenFd(loopbackListener(m_port)), m_thread([this] { serve(); }) {}
    ~HalfClosingSite() {
        if (m_thread.joinable())
            m_thread.join();
        ::close(m_listenFd);
    }
    std::uint16_t port() const { return m_port; }
    std::string received() {
        m_thread.join();
        return m_received;
    }

private:
    void serve() {
        pollfd p{m_listenFd, POLLIN, 0};
        if (m_port == 0 || ::poll(&p, 1, 30000) != 1)
            return;
        int fd = ::accept(m_listenFd, nullptr, nullptr);
        if (fd < 0)
            return;
        timeval timeout{30, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
        if (::send(fd, "hello", 5, MSG_NOSIGNAL) == 5 && ::shutdown(fd, SHUT_WR) == 0) {
            char buf[256];
            ssize_t n;
            while ((n = ::recv(fd, buf, sizeof(buf), 0)) > 0)
                m_received.append(buf, static_cast<std::size_t>(n));
            if (n < 0)
                m_received += "<receive failed>";
        }
        ::close(fd);
    }

    std::uint16_t m_port = 0;
    int m_listenFd;
    std::string m_received;
    std::thread m_thread;
};

}  // namespace

TEST(JsonString, EscapesControlsAndReplacesInvalidUtf8) {
    EXPECT_EQ(emu::jsonString("a\"b\\c\n"), "\"a\\\"b\\\\c\\u000a\"");
    EXPECT_EQ(emu::jsonString("\xC3\xA9"), "\"\xC3\xA9\"");
    EXPECT_EQ(emu::jsonString("x\xFFy"), "\"x\\ufffdy\"");
    EXPECT_EQ(emu::jsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // lone surrogate
    EXPECT_EQ(emu::jsonString("\xE2\x82"), "\"\\ufffd\\ufffd\"");             // truncated
}

TEST(DownloadPattern, BlocksDiffer) {
    const std::uint64_t mib = 1u << 20;
    int same = 0;
    for (std::uint64_t i = 0; i < 64; ++i) {
        same += emu::patternByte(i) == emu::patternByte(mib + i) ? 1 : 0;
    }
    EXPECT_LT(same, 8);
}

TEST(Emulator, AcceptsIdentityAndServesItInsideTheTunnel) {
    EmulatorProcess emulator({});
    ASSERT_TRUE(emulator.started());
    Client client(emulator.socksPort());
    openTunnel(client);
    ASSERT_TRUE(client.send("GET http://gw.test/identity HTTP/1.1\r\nHost: gw.test\r\n\r\n"));
    EXPECT_EQ(client.receiveHttpResponse(),
              "org: \nuser: D\\u\ngroups: 1\ngroup: S-1-5-32-545 BUILTIN\\Users\n");
    // Same connection, origin form, JSON.
    ASSERT_TRUE(client.send("GET /identity.json HTTP/1.1\r\nHost: gw.test\r\n\r\n"));
    EXPECT_EQ(client.receiveHttpResponse(),
              "{\"peer\": \"\", \"org\": \"\", \"user\": \"D\\\\u\", \"groups\": [{\"sid\": "
              "\"S-1-5-32-545\", \"name\": \"BUILTIN\\\\Users\"}]}\n");
    std::string log = itest::readFile(emulator.identityLogPath());
    EXPECT_NE(log.find("\"user\": \"D\\\\u\""), std::string::npos) << log;
    EXPECT_EQ(log.find("\"peer\": \"\""), std::string::npos) << "the log names the peer";
}

TEST(Emulator, RepliesCanBeBent) {
    struct Case {
        std::vector<std::string> options;
        Bytes methodReply;
        Bytes authReply;     // empty: not reached
        Bytes connectReply;  // empty: not reached
    };
    const std::vector<Case> cases = {
        {{"--method", "0xFF"}, {5, 0xFF}, {}, {}},
        {{"--method-version", "4"}, {4, 0x80}, {}, {}},
        {{"--auth-status", "1", "--diag", "no"}, {5, 0x80}, {1, 1, 0, 2, 'n', 'o'}, {}},
        {{"--auth-version", "7"}, {5, 0x80}, {7, 0}, {}},
        {{"--rep", "2"}, {5, 0x80}, {1, 0}, {5, 2, 0, 1, 0, 0, 0, 0, 0, 0}},
        {{"--atyp", "3"}, {5, 0x80}, {1, 0}, {5, 0, 0, 3, 0, 0, 0, 0, 0, 0}},
        {{"--reply-rsv", "9"}, {5, 0x80}, {1, 0}, {5, 0, 9, 1, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options[0]);
        EmulatorProcess emulator(c.options);
        ASSERT_TRUE(emulator.started());
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(kGreeting));
        EXPECT_EQ(client.receive(2), c.methodReply);
        if (!c.authReply.empty()) {
            ASSERT_TRUE(client.send(samplePacket()));
            EXPECT_EQ(client.receive(c.authReply.size()), c.authReply);
        }
        if (!c.connectReply.empty()) {
            ASSERT_TRUE(client.send(kConnectRequest));
            EXPECT_EQ(client.receive(10), c.connectReply);
        }
        // A refusing gateway waits for the relay to hang up and adds nothing.
        client.shutdownSend();
        EXPECT_EQ(client.receiveAll(), "");
    }
}

TEST(Emulator, AcceptWithDiagnosticThenTunnel) {
    EmulatorProcess emulator({"--auth-status", "2", "--diag", "welcome", "--split-replies"});
    ASSERT_TRUE(emulator.started());
    Client client(emulator.socksPort());
    ASSERT_TRUE(client.send(kGreeting));
    ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
    ASSERT_TRUE(client.send(samplePacket()));
    EXPECT_EQ(client.receive(11), (Bytes{1, 2, 0, 7, 'w', 'e', 'l', 'c', 'o', 'm', 'e'}));
    ASSERT_TRUE(client.send(kConnectRequest));
    EXPECT_EQ(client.receive(10), (Bytes{5, 0, 0, 1, 0, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(client.send("GET /hello HTTP/1.0\r\n\r\n"));
    EXPECT_NE(client.receiveAll().find("\r\n\r\nhello\n"), std::string::npos);
}

TEST(Emulator, SilentAndClosingStages) {
    // Silent: the message is read, nothing is ever answered.
    for (const char* stage : {"greeting", "auth", "connect"}) {
        SCOPED_TRACE(stage);
        EmulatorProcess emulator({"--silent-after", stage});
        ASSERT_TRUE(emulator.started());
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(kGreeting));
        std::string got;
        if (std::string(stage) != "greeting") {
            ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
            ASSERT_TRUE(client.send(samplePacket()));
            if (std::string(stage) == "connect") {
                ASSERT_EQ(client.receive(2), (Bytes{1, 0}));
                ASSERT_TRUE(client.send(kConnectRequest));
            }
        }
        client.shutdownSend();
        EXPECT_EQ(client.receiveAll(), "");
    }
    // Closing: the emulator hangs up by itself right after the message.
    EmulatorProcess closing({"--close-after", "auth"});
    ASSERT_TRUE(closing.started());
    Client client(closing.socksPort());
    ASSERT_TRUE(client.send(kGreeting));
    ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
    ASSERT_TRUE(client.send(samplePacket()));
    EXPECT_EQ(client.receiveAll(), "");
}

TEST(Emulator, SurvivesMalformedHandshakes) {
    EmulatorProcess emulator({});
    ASSERT_TRUE(emulator.started());
    const std::vector<Bytes> bad = {
        {4, 1, 0x80},  // wrong SOCKS version
        {5, 3, 0x80},  // fewer methods than announced, then EOF
    };
    for (const Bytes& greeting : bad) {
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(greeting));
        client.shutdownSend();
        EXPECT_EQ(client.receiveAll(), "");
    }
    const std::vector<Bytes> badPackets = {
        {2, 0, 0, 0, 0, 0},                    // subnegotiation version 2
        {1, 200, 'x'},                         // organisation cut short
        {1, 0, 0xFF, 0xFF, 'a'},               // user cut short
        {1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF},  // 65535 groups announced, one huge SID missing
    };
    for (const Bytes& packet : badPackets) {
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(kGreeting));
        ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
        ASSERT_TRUE(client.send(packet));
        client.shutdownSend();
        EXPECT_EQ(client.receiveAll(), "");
    }
    // Still serving afterwards.
    Client client(emulator.socksPort());
    openTunnel(client);
}

TEST(Emulator, HttpSinkAndDownloads) {
    EmulatorProcess emulator({}, true);
    ASSERT_TRUE(emulator.started());
    {
        Client client(emulator.httpPort());
        ASSERT_TRUE(client.send("POST /sink HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc"));
        EXPECT_EQ(client.receiveHttpResponse(),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n");
        // Chunked, with an extension and a trailer, on the same connection.
        ASSERT_TRUE(
            client.send("POST http://gw.test/sink HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                        "1;x=y\r\na\r\n2\r\nbc\r\n0\r\nX-Trailer: 1\r\n\r\n"));
        EXPECT_EQ(client.receiveHttpResponse(),
                  "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\n");
        ASSERT_TRUE(client.send("POST /sink HTTP/1.1\r\nContent-Length: 0\r\n\r\n"));
        EXPECT_EQ(client.receiveHttpResponse(),
                  "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855\n");
    }
    {
        Client client(emulator.httpPort());
        ASSERT_TRUE(client.send("GET /bytes/3000000 HTTP/1.1\r\n\r\n"));
        std::string body = client.receiveHttpResponse();
        ASSERT_EQ(body.size(), 3000000u);
        bool matches = true;
        for (std::size_t i = 0; i < body.size() && matches; i += 4099) {
            matches = static_cast<std::uint8_t>(body[i]) == emu::patternByte(i);
        }
        EXPECT_TRUE(matches);
        ASSERT_TRUE(client.send("GET /nothing-here HTTP/1.1\r\nConnection: close\r\n\r\n"));
        EXPECT_NE(client.receiveAll().find("404 Not Found"), std::string::npos);
    }
    {
        Client client(emulator.httpPort());
        ASSERT_TRUE(client.send("POST /sink HTTP/1.1\r\nContent-Length: 12x\r\n\r\n"));
        EXPECT_EQ(client.receiveAll(), "") << "a bad length ends the connection";
    }
}

TEST(Emulator, ForwardModeConnectsAndPassesHalfClosesOn) {
    EmulatorProcess emulator({"--forward"});
    ASSERT_TRUE(emulator.started());
    const Bytes ipv4{127, 0, 0, 1};
    const Bytes name{9, 'l', 'o', 'c', 'a', 'l', 'h', 'o', 's', 't'};  // may try ::1 first
    for (const Bytes* address : {&ipv4, &name}) {
        SCOPED_TRACE(address == &ipv4 ? "IPv4" : "name");
        HalfClosingSite site;
        ASSERT_NE(site.port(), 0);
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(kGreeting));
        ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
        ASSERT_TRUE(client.send(samplePacket()));
        ASSERT_EQ(client.receive(2), (Bytes{1, 0}));
        ASSERT_TRUE(
            client.send(connectRequest(1, address == &ipv4 ? 1 : 3, *address, site.port())));
        Bytes reply = client.receive(10);
        ASSERT_EQ(reply.size(), 10u);
        EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 8), (Bytes{5, 0, 0, 1, 127, 0, 0, 1}))
            << "succeeded, bound to the emulator's own loopback end";
        // The site's end of sending reaches the client as end of stream, while
        // the client's direction stays open and carries its bytes afterwards.
        EXPECT_EQ(client.receiveAll(), "hello");
        ASSERT_TRUE(client.send("after the other side ended"));
        client.shutdownSend();
        EXPECT_EQ(site.received(), "after the other side ended");
    }
    std::string log = itest::readFile(emulator.identityLogPath());
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2) << "one identity per tunnel: " << log;
}

TEST(Emulator, ForwardModeAnswersFailuresWithTheirRep) {
    EmulatorProcess emulator({"--forward"});
    ASSERT_TRUE(emulator.started());
    std::uint16_t closedPort = 0;
    ::close(loopbackListener(closedPort));  // nothing listens there any more
    ASSERT_NE(closedPort, 0);
    struct Case {
        const char* what;
        Bytes request;
        std::uint8_t rep;
    };
    const std::vector<Case> cases = {
        {"refused", connectRequest(1, 1, {127, 0, 0, 1}, closedPort), 5},
        {"BIND", connectRequest(2, 1, {127, 0, 0, 1}, closedPort), 7},
        {"unknown ATYP", {5, 1, 0, 9}, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Client client(emulator.socksPort());
        ASSERT_TRUE(client.send(kGreeting));
        ASSERT_EQ(client.receive(2), (Bytes{5, 0x80}));
        ASSERT_TRUE(client.send(samplePacket()));
        ASSERT_EQ(client.receive(2), (Bytes{1, 0}));
        ASSERT_TRUE(client.send(c.request));
        EXPECT_EQ(client.receive(10), (Bytes{5, c.rep, 0, 1, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(client.receiveAll(), "") << "the gateway hangs up after a failure";
    }
}
