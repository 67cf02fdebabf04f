// The whole exchange with the gateway, driven the way the loop drives it:
// one readable event per arriving segment.
#include <gtest/gtest.h>

#include "socks/subnegotiation_packet.h"
#include "tests/socks/gateway_client_fixture.h"

namespace {

class NegotiationTest : public GatewayClientTest {
protected:
    NegotiationTest() {
        useGateway("gw.example", 1080, L"Example Org");
        m_sockets.m_addrInfo = {FakeSocksSockets::v4(192, 0, 2, 1)};
        cp().m_userInfo.domain = L"CORP";
        cp().m_userInfo.name = L"alice";
        cp().m_userInfo.groups.push_back({L"CORP", L"Staff", L"S-1-5-21-7-8-9-513"});
    }

    // Connects, then answers each of the relay's messages with the next
    // reply, delivered in segments of chunk bytes, one readable event per
    // segment (a gateway answers only what it has been sent).
    void negotiate(const std::vector<Bytes>& replies, int chunk) {
        ASSERT_TRUE(resolveFor(server(), cp()));
        server().connectToTarnwicket(cp());
        ASSERT_EQ(cp().m_state, AwaitingMethodSelection);
        m_sockets.setRecvChunk(chunk);
        for (const Bytes& reply : replies) {
            m_sockets.queueIncoming(kGw, reply);
            const std::size_t events = (reply.size() + chunk - 1) / chunk;
            for (std::size_t i = 0; i < events && !cp().m_closing; ++i) {
                server().handleTarnwicketReadable(cp());
            }
        }
    }

    Bytes expectedToGateway() {
        Bytes out = {0x05, 0x01, 0x80};
        const Bytes packet = buildSubnegotiationPacket(1, L"Example Org", cp().m_userInfo);
        out.insert(out.end(), packet.begin(), packet.end());
        const Bytes request = connectRequest();
        out.insert(out.end(), request.begin(), request.end());
        return out;
    }
};

const std::vector<Bytes> kAcceptingGateway = {
    {0x05, 0x80},                                      // method selection
    {0x01, 0x02, 0x00, 0x02, 'o', 'k'},                // identity accepted, with text
    {0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0x12, 0x34},  // connect succeeded
};

class SegmentedNegotiationTest : public NegotiationTest,
                                 public ::testing::WithParamInterface<int> {};

TEST_P(SegmentedNegotiationTest, ReachesRelayingWhateverTheSegmentSize) {
    negotiate(kAcceptingGateway, GetParam());
    EXPECT_EQ(cp().m_state, Relaying);
    EXPECT_FALSE(cp().m_closing);
    EXPECT_FALSE(cp().m_sendingToTarnwicket);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_EQ(sent(), expectedToGateway());
    EXPECT_EQ(lines(), std::vector<std::string>{"SocksProxyServer::readSocksDiagnosticMsg(), socks "
                                                "authentication success, diagnostic message = ok"});
}

INSTANTIATE_TEST_SUITE_P(SegmentSizes, SegmentedNegotiationTest, ::testing::Values(1, 2, 3, 7));

}  // namespace
