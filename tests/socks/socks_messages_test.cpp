#include <gtest/gtest.h>

#include "platform/errors.h"
#include "tests/socks/gateway_client_fixture.h"

namespace {

using SocksMessagesTest = GatewayClientTest;

const char kMethodOp[] = "SocksProxyServer::handleSocksMethodSelectionMsg()";
const char kReplyOp[] = "SocksProxyServer::handleSocksConnectRequestReply()";

TEST_F(SocksMessagesTest, GreetingOffersOnlyThePrivateMethod) {
    negotiating(ConnectedToTarnwicket);
    server().sendSocksGreeting(cp());
    EXPECT_EQ(sent(), (Bytes{0x05, 0x01, 0x80}));
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    EXPECT_EQ(cp().m_bs_tx_len, 0);
    EXPECT_TRUE(cp().m_sendingToTarnwicket);
}

TEST_F(SocksMessagesTest, GreetingSendFailureQueuesPageAndKeepsThatState) {
    negotiating(ConnectedToTarnwicket);
    m_sockets.m_sendResult = platform::kWsaEConnReset;
    server().sendSocksGreeting(cp());
    EXPECT_EQ(cp().m_state, SendingErrorPage);
    EXPECT_NE(page().find("502 Bad Gateway"), std::string::npos);
    EXPECT_NE(page().find("Could not write to tarnwicket (error code 10054 - "), std::string::npos);
}

TEST_F(SocksMessagesTest, MethodSelectionSplitAtEveryByteLeadsToSubnegotiation) {
    negotiating(AwaitingMethodSelection);
    arriveByteByByte({0x05, 0x80});
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_FALSE(cp().m_closing);
    ASSERT_FALSE(sent().empty());
    EXPECT_EQ(sent()[0], 0x01);  // subnegotiation version
}

// A gateway that answers before the message has gone out whole: the answer
// waits for the rest of the message, which nothing may overwrite.
TEST_F(SocksMessagesTest, AnEarlyReplyWaitsUntilItsMessageIsOut) {
    m_sockets.m_sendLimit = 1;
    negotiating(ConnectedToTarnwicket);
    server().sendSocksGreeting(cp());
    auto finishSending = [&] {
        for (int i = 0; i < 1000 && cp().m_bs_tx_len > 0; ++i)
            server().sendToTarnwicket(cp());
    };

    m_sockets.queueIncoming(kGw, {0x05, 0x80});
    server().handleTarnwicketReadable(cp());
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
    server().sendToTarnwicket(cp());
    server().sendToTarnwicket(cp());  // the greeting's last byte: now the reply
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
    ASSERT_GT(cp().m_bs_tx_len, 0);
    const std::size_t greetingAndPacket = sent().size() + cp().m_bs_tx_len;

    m_sockets.queueIncoming(kGw, {0x01, 0x00});
    server().handleTarnwicketReadable(cp());
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
    finishSending();
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    finishSending();
    const Bytes all = sent();
    ASSERT_EQ(all.size(), greetingAndPacket + connectRequest().size());
    EXPECT_EQ(Bytes(all.begin(), all.begin() + 3), (Bytes{0x05, 0x01, 0x80}));
    EXPECT_EQ(Bytes(all.end() - 10, all.end()), connectRequest());
    EXPECT_FALSE(cp().m_closing);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SocksMessagesTest, AnyMethodButNoAcceptableIsTakenAsAcceptance) {
    negotiating(AwaitingMethodSelection);
    arrive({0x05, 0x00});
    dispatch();
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SocksMessagesTest, MethodSelectionLongerThanTwoBytesIsAProtocolError) {
    negotiating(AwaitingMethodSelection);
    arrive({0x05, 0x80, 0x00});
    dispatch();
    EXPECT_TRUE(cp().m_closing);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(lines(), std::vector<std::string>{std::string(kMethodOp) +
                                                ", socks protocol error, recv'd 3bytes from "
                                                "tarnwicket, expected 2"});
}

TEST_F(SocksMessagesTest, MethodSelectionRejections) {
    struct Case {
        Bytes reply;
        std::string detail;
    };
    const Case cases[] = {
        {{0x04, 0x80}, ", socks version error, tarnwicket returned version 4"},
        {{0x05, 0xFF}, ", no acceptable socks method"},
    };
    for (const Case& c : cases) {
        cp().m_closing = false;
        negotiating(AwaitingMethodSelection);
        log().clear();
        arrive(c.reply);
        dispatch();
        EXPECT_TRUE(cp().m_closing) << c.detail;
        EXPECT_EQ(cp().m_sb_rx_pos, 0) << c.detail;
        EXPECT_EQ(cp().m_state, AwaitingMethodSelection) << c.detail;
        EXPECT_EQ(lines(), std::vector<std::string>{kMethodOp + c.detail});
    }
    EXPECT_TRUE(sent().empty());
}

TEST_F(SocksMessagesTest, ConnectRequestIsTheFixedTenBytes) {
    negotiating(Authenticated);
    arrive({0x01, 0x00, 0x42});  // leftovers of the previous reply
    server().sendSocksConnectRequest(cp());
    EXPECT_EQ(sent(), connectRequest());
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
}

TEST_F(SocksMessagesTest, ConnectRequestSendFailureQueuesPage) {
    negotiating(AwaitingSubnegotiationReply);
    m_sockets.m_sendResult = platform::kWsaENetReset;
    server().sendSocksConnectRequest(cp());
    EXPECT_EQ(cp().m_state, SendingErrorPage);
}

TEST_F(SocksMessagesTest, ConnectReplySplitAtEveryByteStartsRelaying) {
    negotiating(AwaitingConnectReply);
    arriveByteByByte({0x05, 0x00, 0x00, 0x01, 0x0A, 0x01, 0x02, 0x03, 0xAB, 0xCD});
    EXPECT_EQ(cp().m_state, Relaying);
    EXPECT_FALSE(cp().m_sendingToTarnwicket);
    EXPECT_FALSE(cp().m_sendingToBrowser);
    EXPECT_FALSE(cp().m_closing);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(SocksMessagesTest, ConnectReplyHeaderErrorsAreSeenAfterFourBytes) {
    struct Case {
        Bytes header;
        std::string detail;
    };
    const Case cases[] = {
        {{0x04, 0x00, 0x00, 0x01}, ", socks version error, tarnwicket returned version 4"},
        {{0x05, 0x00, 0x07, 0x01}, ", socks error, RSV = 7"},
        {{0x05, 0x00, 0x00, 0x03}, ", socks error, ATYP = 3, expected 0x01 (ipv4)"},
        {{0x05, 0x00, 0x00, 0x04}, ", socks error, ATYP = 4, expected 0x01 (ipv4)"},
        // The version is judged before the other fields.
        {{0x06, 0x01, 0x02, 0x03}, ", socks version error, tarnwicket returned version 6"},
    };
    for (const Case& c : cases) {
        cp().m_closing = false;
        cp().m_sb_rx_pos = 0;
        negotiating(AwaitingConnectReply);
        log().clear();
        for (std::size_t i = 0; i < 3; ++i) {
            arrive({c.header[i]});
            dispatch();
        }
        EXPECT_FALSE(cp().m_closing) << c.detail;
        arrive({c.header[3]});
        dispatch();
        EXPECT_TRUE(cp().m_closing) << c.detail;
        EXPECT_EQ(lines(), std::vector<std::string>{kReplyOp + c.detail});
    }
}

TEST_F(SocksMessagesTest, ConnectReplyWithFailureCodeClosesThePair) {
    negotiating(AwaitingConnectReply);
    arriveByteByByte({0x05, 0x05, 0x00, 0x01, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(cp().m_closing);
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_EQ(lines(), std::vector<std::string>{std::string(kReplyOp) +
                                                ", socks connection request failed, REP = 5"});
}

TEST_F(SocksMessagesTest, ConnectReplyLongerThanTenBytesIsNeverAccepted) {
    negotiating(AwaitingConnectReply);
    arrive({0x05, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x99});
    dispatch();
    dispatch();
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_FALSE(cp().m_closing);
    EXPECT_EQ(cp().m_sb_rx_pos, 11);
    EXPECT_TRUE(lines().empty());
}

}  // namespace
