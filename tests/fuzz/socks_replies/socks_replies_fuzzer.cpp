// The gateway's replies during the SOCKS negotiation, as arbitrary bytes in
// arbitrary segments, driven the way the select loop drives a pair: one
// readable event per segment, writable events while the relay has bytes to
// send. After every event the pair must be consistent: positions inside
// their buffers, a legal state, and what went to the gateway a prefix of
// greeting, identity packet and connect request, in that order.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "socks/gateway_resolution.h"
#include "socks/subnegotiation_packet.h"
#include "tests/fakes/fake_socks_sockets.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr platform::Socket kGateway = FakeSocksSockets::kGatewaySocket;

void check(bool condition) {
    if (!condition)
        std::abort();
}

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool empty() const { return m_pos >= m_size; }
    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    Bytes bytes(std::size_t n) {
        const std::size_t take = n < m_size - m_pos ? n : m_size - m_pos;
        Bytes out(m_data + m_pos, m_data + m_pos + take);
        m_pos += take;
        return out;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// The user behind the connection: no groups, a few, or enough long-named
// ones for a packet larger than the relay buffer.
UserInfo userFor(std::uint8_t choice) {
    UserInfo user;
    user.domain = L"CORP";
    user.name = L"alice";
    user.sid = L"S-1-5-21-1-2-3-1104";
    const std::size_t groups = choice == 0 ? 0 : choice == 1 ? 3 : 160;
    const std::wstring padding(choice == 2 ? 400 : 0, L'x');
    for (std::size_t i = 0; i < groups; ++i) {
        user.groups.push_back({L"CORP", L"Group " + padding + std::to_wstring(i),
                               L"S-1-5-21-1-2-3-" + std::to_wstring(2000 + i)});
    }
    return user;
}

// What the relay must send for each user: greeting, identity packet,
// connect request.
const Bytes& expectedFor(std::uint8_t choice, const std::wstring& organization) {
    static Bytes expected[3];
    Bytes& out = expected[choice];
    if (out.empty()) {
        out = {0x05, 0x01, 0x80};
        const Bytes packet = buildSubnegotiationPacket(1, organization, userFor(choice));
        out.insert(out.end(), packet.begin(), packet.end());
        out.insert(out.end(), {0x05, 0x01, 0x00, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x1F, 0x90});
    }
    return out;
}

// Replies that bring a fresh pair to the state a run starts in.
const Bytes kPrefixes[] = {
    {},                        // awaiting the method selection
    {0x05, 0x80},              // awaiting the subnegotiation reply
    {0x05, 0x80, 0x01, 0x01},  // reading a failure diagnostic
    {0x05, 0x80, 0x01, 0x02},  // reading a success diagnostic
    {0x05, 0x80, 0x01, 0x00},  // awaiting the connect reply
};

bool legalState(ConnState state) {
    return (state >= AwaitingMethodSelection && state <= Relaying && state != Authenticated) ||
           state == SendingErrorPage;
}

class Run {
public:
    Run(SocksProxyServer& server, std::uint8_t flags)
        : m_server(server),
          m_pair(new ConnPair),
          m_expected(expectedFor((flags >> 5) % 3, server.parameters().organizationName)) {
        const auto user = static_cast<std::uint8_t>((flags >> 5) % 3);
        m_sockets.m_addrInfo = {FakeSocksSockets::v4(192, 0, 2, 1)};
        // Sends that take a few bytes at a time (more for the big packet, to
        // keep runs short), or about a segment's worth.
        if ((flags & 0x18) == 0x08)
            m_sockets.m_sendLimit = user == 2 ? 4096 : 3;
        else if ((flags & 0x18) == 0x10)
            m_sockets.m_sendLimit = 1400;
        platform::Platform p = platform::current();
        p.sockets = &m_sockets;
        m_scope = std::make_unique<platform::ScopedPlatform>(p);
        m_pair->m_userInfo = userFor(user);
    }
    ~Run() {
        m_pair.reset();  // closes its sockets through the fake
        m_scope.reset();
    }

    // False when the pair has ended or relays.
    bool active() const {
        return !m_pair->m_closing && m_pair->m_state != Relaying &&
               m_pair->m_state != SendingErrorPage;
    }

    void connect() {
        GatewayAddresses resolved;
        check(resolveTarnwicketAddress(m_server.parameters().tarnwicketIpAddr,
                                       m_server.parameters().tarnwicketPort, resolved));
        m_pair->m_tarnwicketAddrs = resolved.addresses;
        m_server.connectToTarnwicket(*m_pair);
        check(m_pair->m_state == AwaitingMethodSelection);
        checkPair();
    }

    // The loop sends pending bytes whenever the gateway socket is writable.
    void writable() {
        if (m_pair->m_sendingToTarnwicket && m_pair->m_bs_tx_len > 0)
            m_server.sendToTarnwicket(*m_pair);
        checkPair();
    }

    // Gateway bytes. A well-behaved gateway answers only once it has all
    // that was sent so far; a hasty one answers while the relay still sends.
    void segment(const Bytes& bytes, bool hasty) {
        for (int i = 0; !hasty && i < 100000 && m_pair->m_bs_tx_len > 0 && active(); ++i)
            m_server.sendToTarnwicket(*m_pair);
        checkPair();
        check(hasty || m_pair->m_bs_tx_len == 0);
        if (bytes.empty())
            return;
        m_sockets.queueIncoming(kGateway, bytes);
        m_server.handleTarnwicketReadable(*m_pair);
        checkPair();
    }

private:
    void checkPair() {
        const ConnPair& cp = *m_pair;
        check(legalState(cp.m_state));
        check(cp.m_sb_rx_pos >= 0 &&
              static_cast<std::size_t>(cp.m_sb_rx_pos) <= cp.m_sb_buf.size());
        check(cp.m_bs_tx_pos >= 0 && cp.m_bs_tx_len >= 0);
        check(static_cast<std::size_t>(cp.m_bs_tx_pos) + static_cast<std::size_t>(cp.m_bs_tx_len) <=
              cp.m_bs_buf.size());
        const std::size_t sentSize = m_sockets.sentSize(kGateway);
        if (sentSize != m_checkedSize) {
            const Bytes sent = m_sockets.sentTo(kGateway);
            check(sent.size() <= m_expected.size());
            check(std::equal(sent.begin(), sent.end(), m_expected.begin()));
            m_checkedSize = sent.size();
        }
        if (cp.m_state == Relaying) {
            check(!cp.m_sendingToTarnwicket && !cp.m_sendingToBrowser);
            check(sentSize + static_cast<std::size_t>(cp.m_bs_tx_len) == m_expected.size());
            check(cp.m_sb_rx_pos == 0);
        } else if (cp.m_state != SendingErrorPage) {
            check(cp.m_sendingToTarnwicket);
        }
    }

    SocksProxyServer& m_server;
    FakeSocksSockets m_sockets;
    std::unique_ptr<platform::ScopedPlatform> m_scope;
    std::unique_ptr<ConnPair> m_pair;
    const Bytes& m_expected;
    std::size_t m_checkedSize = 0;
};

struct Setup {
    Setup() : scope(make()), server(nullptr, parameters(), L"fuzz") {}
    static ServerParameters parameters() {
        ServerParameters p;
        p.tarnwicketIpAddr = "gateway.example";
        p.organizationName = L"Example Organisation";
        return p;
    }
    platform::Platform make() {
        platform::Platform p = platform::current();
        p.eventLog = &quiet;
        p.registry = &noRegistry;
        return p;
    }
    platform::EventLog quiet;       // reports go nowhere
    platform::Registry noRegistry;  // every parameter at its default
    platform::ScopedPlatform scope;
    SocksProxyServer server;
};

}  // namespace

// Input: one byte of flags (start state, send limit, user), then segments:
// a length byte and that many gateway bytes (its top bit: sent while the
// relay may still be sending); length 0 is a writable event.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup* setup = new Setup;
    Input input(data, size);
    const std::uint8_t flags = input.byte();
    Run run(setup->server, flags);
    run.connect();
    const Bytes& prefix = kPrefixes[(flags & 0x07) % 5];
    if (!prefix.empty()) {
        run.segment(Bytes(prefix.begin(), prefix.begin() + 2), false);
        if (prefix.size() > 2 && run.active())
            run.segment(Bytes(prefix.begin() + 2, prefix.end()), false);
    }
    for (int events = 0; events < 4096 && run.active() && !input.empty(); ++events) {
        const std::uint8_t length = input.byte();
        if (length == 0) {
            run.writable();
        } else {
            run.segment(input.bytes(length & 0x7F), (length & 0x80) != 0);
        }
    }
    return 0;
}
