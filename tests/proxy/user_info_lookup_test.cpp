// One connection's lookup over scripted seams: its steps in their order, and
// failing closed before the gateway is ever asked for.
#include "proxy/user_info_lookup.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/errors.h"
#include "proxy/socks_proxy_server.h"
#include "tests/fakes/fake_socks_sockets.h"
#include "tests/userinfo/session_fixture.h"

namespace {

using namespace sessions;

constexpr std::uint16_t kListenPort = 8080;
constexpr std::uint16_t kBrowserPort = 51234;

platform::SockAddr loopback(std::uint16_t port) {
    platform::SockAddr a;
    a.family = platform::kAfInet;
    a.addr = platform::loopbackAddr();
    a.port = platform::hostToNet16(port);
    return a;
}

// Notes how far the name resolution had got when the session was asked for.
class OrderedIdentity : public FakeIdentity {
public:
    explicit OrderedIdentity(const FakeSocksSockets& sockets) : m_sockets(sockets) {}
    std::uint32_t ownerSessionId(platform::SocketOwner owner, std::int64_t createdBy,
                                 std::uint32_t& session) override {
        m_resolutionsBefore = m_sockets.addrInfoCalls();
        m_createdBy = createdBy;
        return FakeIdentity::ownerSessionId(owner, createdBy, session);
    }
    int m_resolutionsBefore = -1;
    std::int64_t m_createdBy = 0;

private:
    const FakeSocksSockets& m_sockets;
};

class UserInfoLookupTest : public ::testing::Test {
protected:
    UserInfoLookupTest() : m_scope(withFakes()) {
        addDirectory(m_identity);
        m_users = std::make_unique<UserInformation>();
        m_server = std::make_unique<SocksProxyServer>(m_users.get());
        m_sockets.m_addrInfo = {FakeSocksSockets::v4(192, 0, 2, 7)};
        m_lookup.listenAddr = loopback(kListenPort);
        m_lookup.clientAddr = loopback(kBrowserPort);
        m_lookup.acceptTicks = 5000;
        m_recording.log().clear();
    }

    // The browser's socket, owned by `owner`.
    void ownedBy(std::uint32_t owner) {
        m_table.addTable(
            {FakeTcpTable::row(0x7F000001u, kBrowserPort, 0x7F000001u, kListenPort, owner)});
    }
    void run() {
        LookupContext context("gw.example", 1080, m_users.get(), *m_server);
        context.run(m_lookup);
        ASSERT_TRUE(m_lookup.done);
    }

    RecordingPlatform m_recording{true};
    FakeSocksSockets m_sockets;
    OrderedIdentity m_identity{m_sockets};
    FakeTcpTable m_table;
    FakeFiles m_files;
    platform::Registry m_noRegistry;

private:
    platform::Platform withFakes() {
        platform::Platform p = platform::current();
        p.sockets = &m_sockets;
        p.identity = &m_identity;
        p.tcpTable = &m_table;
        p.files = &m_files;
        p.registry = &m_noRegistry;
        return p;
    }
    platform::ScopedPlatform m_scope;

protected:
    std::unique_ptr<UserInformation> m_users;
    std::unique_ptr<SocksProxyServer> m_server;
    UserInfoLookup m_lookup;
};

// The owner's session is read before the gateway's name is resolved (on
// Windows the process id could pass to another process meanwhile), with the
// accept's time, and the user comes from that session.
TEST_F(UserInfoLookupTest, TheOwnersSessionComesBeforeTheGatewaysName) {
    ownedBy(kAlicePid);
    run();
    EXPECT_EQ(m_identity.m_resolutionsBefore, 0);
    EXPECT_EQ(m_identity.m_createdBy, 5000);
    EXPECT_EQ(m_sockets.addrInfoCalls(), 1);
    EXPECT_FALSE(m_lookup.failed);
    EXPECT_TRUE(m_lookup.sessionKnown);
    EXPECT_EQ(m_lookup.session, 1u);
    EXPECT_EQ(m_lookup.userInfo.name, L"alice");
    EXPECT_EQ(m_lookup.gateway.addresses.size(), 1u);
}

// A process that started after the connection was accepted did not make its
// socket: closed unanswered, and the gateway never asked; likewise with no
// owner at all.
TEST_F(UserInfoLookupTest, AnOwnerThatCameLaterOrNoneFailsClosed) {
    ownedBy(kAlicePid);
    m_identity.setProcessStart(kAlicePid, 5001);
    run();
    EXPECT_TRUE(m_lookup.failed);
    EXPECT_FALSE(m_lookup.sessionKnown);
    EXPECT_TRUE(m_lookup.gateway.errorText.empty()) << "no page: nobody to speak for";
    EXPECT_EQ(m_sockets.addrInfoCalls(), 0);
    EXPECT_EQ(m_recording.log().narrowTexts(),
              std::vector<std::string>{"UserInformation::sessionIdOfOwner(), failed to get "
                                       "session id for process, last error = 87"});

    UserInfoLookup unowned;
    unowned.listenAddr = loopback(kListenPort);
    unowned.clientAddr = loopback(kBrowserPort + 1);
    LookupContext context("gw.example", 1080, m_users.get(), *m_server);
    context.run(unowned);
    EXPECT_TRUE(unowned.failed);
    EXPECT_EQ(m_sockets.addrInfoCalls(), 0);
}

// With an exact owner table, a gateway given as an address and the user in
// the cache, the loop answers the lookup itself; anything that could wait
// goes to a worker, with the lookup untouched.
TEST_F(UserInfoLookupTest, TheLoopAnswersWhatCannotWait) {
    struct Case {
        bool exact;
        std::string gateway;
        std::uint32_t owner;
        bool cached;
        bool atOnce;
        bool failed;
    };
    const Case cases[] = {
        {true, "192.0.2.7", kAlicePid, true, true, false},
        {true, "2001:db8::7", kAlicePid, true, true, false},
        {true, "192.0.2.7", kSystemPid, false, true, false},  // session 0 needs no cache
        {true, "192.0.2.7", kAlicePid, false, false, true},   // a cache miss reads NSS
        {true, "gw.example", kAlicePid, true, false, true},   // a name asks the resolver
        {false, "192.0.2.7", kAlicePid, true, false, true},   // a whole table snapshot
        {true, "192.0.2.7", 999, true, true, true},           // no session: answered, closed
    };
    for (const Case& c : cases) {
        m_users = std::make_unique<UserInformation>();
        if (c.cached)
            m_users->enumerateSessions();
        m_table.m_exact = c.exact;
        ownedBy(c.owner);
        LookupContext context(c.gateway, 1080, m_users.get(), *m_server);
        UserInfoLookup lookup;
        lookup.listenAddr = loopback(kListenPort);
        lookup.clientAddr = loopback(kBrowserPort);
        EXPECT_EQ(context.answerAtOnce(lookup), c.atOnce) << c.gateway << " " << c.owner;
        EXPECT_EQ(lookup.done.load(), c.atOnce);
        EXPECT_EQ(lookup.failed, c.failed);
        if (!c.atOnce) {
            EXPECT_FALSE(lookup.sessionKnown) << "left as it was for the worker";
            EXPECT_TRUE(lookup.gateway.addresses.empty());
        }
    }
}

TEST(GatewayNameTest, AddressLiteralsAskNoNameService) {
    for (const char* literal :
         {"127.0.0.1", "0.0.0.0", "255.255.255.255", "::1", "2001:db8::7", "::ffff:192.0.2.7"})
        EXPECT_TRUE(isAddressLiteral(literal)) << literal;
    for (const char* name : {"", "gw.example", "localhost", "256.0.0.1", "1.2.3", "1.2.3.4.5",
                             "1.2.3.", "01234.1.1.1", "fe80::1%eth0", "gw:8080", "1.2.3.4 "})
        EXPECT_FALSE(isAddressLiteral(name)) << name;
}

}  // namespace
