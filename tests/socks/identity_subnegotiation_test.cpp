#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <stdexcept>

#include "platform/errors.h"
#include "socks/subnegotiation_packet.h"
#include "tests/socks/gateway_client_fixture.h"

namespace {

using IdentitySubnegotiationTest = GatewayClientTest;

const std::string kReplyOp = "SocksProxyServer::handleSubnegotiationReplyMsg()";
const std::string kDiagOp = "SocksProxyServer::readSocksDiagnosticMsg()";

Bytes withText(std::uint8_t status, const std::string& text) {
    Bytes reply(4 + text.size());
    reply[0] = 0x01;
    reply[1] = status;
    reply[2] = static_cast<std::uint8_t>(text.size() >> 8);
    reply[3] = static_cast<std::uint8_t>(text.size() & 0xFF);
    std::copy(text.begin(), text.end(), reply.begin() + 4);
    return reply;
}

std::string logicErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "no error";
}

TEST_F(IdentitySubnegotiationTest, PacketIsPlacedAndSent) {
    useGateway("", 1080, L"Org");
    cp().m_userInfo.domain = L"D";
    cp().m_userInfo.name = L"u";
    cp().m_userInfo.groups.push_back({L"BUILTIN", L"Users", L"S-1-5-32-545"});
    negotiating(AwaitingMethodSelection);

    server().sendSubnegotiationPacket(cp());

    EXPECT_EQ(sent(), buildSubnegotiationPacket(1, L"Org", cp().m_userInfo));
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
    EXPECT_EQ(cp().m_bs_buf.size(), kRelayBufferSize);
    EXPECT_EQ(cp().m_bs_tx_len, 0);
}

TEST_F(IdentitySubnegotiationTest, PacketLargerThanTheBufferIsSentWhole) {
    for (int i = 0; i < 3000; ++i) {
        cp().m_userInfo.groups.push_back(
            {L"EXAMPLEDOMAIN", L"Some fairly long group name " + std::to_wstring(i),
             L"S-1-5-21-1111111111-2222222222-3333333333-" + std::to_wstring(10000 + i)});
    }
    const Bytes expected = buildSubnegotiationPacket(1, L"", cp().m_userInfo);
    ASSERT_GT(expected.size(), kRelayBufferSize);
    negotiating(AwaitingMethodSelection);
    m_sockets.m_sendLimit = 1000;  // so the pending length can be seen

    server().sendSubnegotiationPacket(cp());

    EXPECT_EQ(cp().m_bs_buf.size(), expected.size());
    EXPECT_EQ(cp().m_bs_tx_pos, 1000);
    EXPECT_EQ(cp().m_bs_tx_len, static_cast<std::int32_t>(expected.size()) - 1000);
    EXPECT_EQ(std::vector<std::uint8_t>(cp().m_bs_buf.begin(), cp().m_bs_buf.end()), expected);
    EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply);
}

TEST_F(IdentitySubnegotiationTest, PendingBytesTowardsTheGatewayAreAnInvariantViolation) {
    negotiating(AwaitingMethodSelection);
    cp().m_bs_tx_pos = 1;
    EXPECT_EQ(logicErrorOf([&] { server().sendSubnegotiationPacket(cp()); }),
              "SocksProxyServer::sendSubnegotiationPacket(), cp->m_bs_tx_pos != 0");
    cp().m_bs_tx_pos = 0;
    cp().m_bs_tx_len = 2;
    EXPECT_EQ(logicErrorOf([&] { server().sendSubnegotiationPacket(cp()); }),
              "SocksProxyServer::sendSubnegotiationPacket(), cp->m_bs_tx_len != 0");
    EXPECT_TRUE(sent().empty());
}

TEST_F(IdentitySubnegotiationTest, BuildFailureSendsNothing) {
    negotiating(AwaitingMethodSelection);
    cp().m_userInfo.name = std::wstring(70000, L'x');
    EXPECT_EQ(logicErrorOf([&] { server().sendSubnegotiationPacket(cp()); }), "user name too long");
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(cp().m_state, AwaitingMethodSelection);
}

TEST_F(IdentitySubnegotiationTest, SendFailureQueuesThePage) {
    negotiating(AwaitingMethodSelection);
    m_sockets.m_sendResult = platform::kWsaEConnAborted;
    server().sendSubnegotiationPacket(cp());
    EXPECT_EQ(cp().m_state, SendingErrorPage);
    EXPECT_NE(page().find("Could not write to tarnwicket (error code 10053 - "), std::string::npos);
}

TEST_F(IdentitySubnegotiationTest, AcceptanceSplitAtEveryByteSendsTheConnectRequest) {
    negotiating(AwaitingSubnegotiationReply);
    arriveByteByByte({0x01, 0x00});
    EXPECT_EQ(sent(), connectRequest());
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
}

TEST_F(IdentitySubnegotiationTest, StrayBytesAfterAcceptanceAreDropped) {
    negotiating(AwaitingSubnegotiationReply);
    arrive({0x01, 0x00, 0x05, 0x00, 0x00});
    dispatch();
    EXPECT_EQ(sent(), connectRequest());
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_TRUE(lines().empty());
}

TEST_F(IdentitySubnegotiationTest, RejectionWithTextSplitAtEveryByte) {
    negotiating(AwaitingSubnegotiationReply);
    const Bytes reply = withText(1, "user not allowed");
    // The first line comes as soon as STATUS is known; the text line only
    // once its last byte is in.
    arrive({reply[0]});
    dispatch();
    arrive({reply[1]});
    dispatch();
    EXPECT_EQ(lines(), std::vector<std::string>{kReplyOp + ", socks authentication failed"});
    EXPECT_EQ(cp().m_state, ReadingFailureDiagnostic);
    log().clear();

    arriveByteByByte(Bytes(reply.begin() + 2, reply.end()));
    EXPECT_TRUE(cp().m_closing);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(lines(),
              std::vector<std::string>{
                  kDiagOp + ", socks authentication failure, diagnostic error message = user not "
                            "allowed"});
}

TEST_F(IdentitySubnegotiationTest, RejectionWithEmptyTextInOneSegment) {
    negotiating(AwaitingSubnegotiationReply);
    arrive(withText(1, ""));
    dispatch();
    EXPECT_TRUE(cp().m_closing);
    EXPECT_EQ(lines(),
              (std::vector<std::string>{
                  kReplyOp + ", socks authentication failed",
                  kDiagOp + ", socks authentication failure, diagnostic error message = "}));
}

TEST_F(IdentitySubnegotiationTest, SuccessTextSplitAtEveryByteIsLoggedOnceThenConnect) {
    negotiating(AwaitingSubnegotiationReply);
    Bytes reply = withText(2, "welcome");
    reply.push_back(0x77);  // dropped
    arrive({reply[0]});
    dispatch();
    arrive({reply[1]});
    dispatch();
    EXPECT_EQ(cp().m_state, ReadingSuccessDiagnostic);
    // Everything but the text's last byte, one byte at a time.
    arriveByteByByte(Bytes(reply.begin() + 2, reply.end() - 2));
    EXPECT_EQ(cp().m_state, ReadingSuccessDiagnostic);
    EXPECT_TRUE(lines().empty());
    // The last text byte comes with a stray byte in one segment.
    arrive(Bytes(reply.end() - 2, reply.end()));
    dispatch();

    EXPECT_EQ(lines(),
              std::vector<std::string>{
                  kDiagOp + ", socks authentication success, diagnostic message = welcome"});
    EXPECT_EQ(sent(), connectRequest());
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
    EXPECT_FALSE(cp().m_closing);
    EXPECT_EQ(cp().m_sb_rx_pos, 0);
}

TEST_F(IdentitySubnegotiationTest, DiagnosticTextEndsAtItsFirstZeroByteAndIsUtf8) {
    negotiating(AwaitingSubnegotiationReply);
    std::string text = "caf\xC3\xA9";
    text.push_back('\0');
    text += "hidden";
    arrive(withText(2, text));
    dispatch();
    const auto texts = log().texts();
    ASSERT_EQ(texts.size(), 1u);
    const std::wstring prefix =
        L"SocksProxyServer::readSocksDiagnosticMsg(), socks "
        L"authentication success, diagnostic message = caf";
    EXPECT_EQ(texts[0], prefix + static_cast<wchar_t>(u'\u00E9'));
    EXPECT_EQ(cp().m_state, AwaitingConnectReply);
}

TEST_F(IdentitySubnegotiationTest, LongestDiagnosticFitsTheBuffer) {
    negotiating(AwaitingSubnegotiationReply);
    const std::string text(65535, 'x');
    arrive(withText(1, text));
    dispatch();
    EXPECT_TRUE(cp().m_closing);
    ASSERT_EQ(lines().size(), 2u);
    EXPECT_EQ(lines()[1].size(), kDiagOp.size() + 59 + 65535);
}

TEST_F(IdentitySubnegotiationTest, WrongVersionOrUnknownStatusClosesWithOneLine) {
    struct Case {
        Bytes reply;
        std::string line;
    };
    const Case cases[] = {
        {{0x05, 0x00}, kReplyOp + ", auth method version error, tarnwicket returned version 5"},
        {{0x01, 0x03}, kReplyOp + ", auth method unknown status received, value = 3"},
        {{0x01, 0xFF}, kReplyOp + ", auth method unknown status received, value = 255"},
    };
    for (const Case& c : cases) {
        cp().m_closing = false;
        cp().m_sb_rx_pos = 0;
        negotiating(AwaitingSubnegotiationReply);
        log().clear();
        arrive(c.reply);
        dispatch();
        EXPECT_TRUE(cp().m_closing) << c.line;
        EXPECT_EQ(cp().m_state, AwaitingSubnegotiationReply) << c.line;
        EXPECT_EQ(lines(), std::vector<std::string>{c.line});
    }
    EXPECT_TRUE(sent().empty());
}

}  // namespace
