#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/errors.h"
#include "proxy/error_page.h"
#include "proxy/socks_proxy_server.h"
#include "support/text_conversion.h"
#include "tests/fakes/fake_relay_env.h"

namespace {

using Op = FakeSockets::Op;
constexpr std::chrono::seconds kWait{10};

std::string failureText(const std::string& what, int code) {
    return "Could not " + what + " tarnwicket (error code " + std::to_string(code) + " - " +
           systemErrorText(static_cast<std::uint32_t>(code)) + ")";
}

std::string bytesOf(const RelayBuffer& buf, std::size_t n) {
    return std::string(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(n));
}

class RelayPathTest : public ::testing::Test {
protected:
    RelayPathTest() { m_env.log().clear(); }  // the constructor's registry messages
    void SetUp() override {
        m_browser = loopback::connectedPair();
        m_gateway = loopback::connectedPair();
        ASSERT_NE(m_browser.near, platform::kInvalidSocket);
        ASSERT_NE(m_gateway.near, platform::kInvalidSocket);
        m_cp.m_browserSock = m_browser.near;
        m_cp.m_tarnwicketSock = m_gateway.near;
        m_cp.m_state = Relaying;
        m_cp.m_sendingToTarnwicket = false;
    }
    void TearDown() override {
        loopback::close(m_browser.far);
        loopback::close(m_gateway.far);
    }

    // Browser bytes as the loop would receive them.
    void browserSends(const std::string& bytes) {
        ASSERT_TRUE(loopback::sendAll(m_browser.far, bytes));
        ASSERT_TRUE(loopback::waitReadable(m_browser.near, kWait));
    }
    void gatewaySends(const std::string& bytes) {
        ASSERT_TRUE(loopback::sendAll(m_gateway.far, bytes));
        ASSERT_TRUE(loopback::waitReadable(m_gateway.near, kWait));
    }
    std::int64_t now() { return m_env.clock().nowTicks(); }

    RelayEnv m_env;
    SocksProxyServer m_server{nullptr};
    loopback::Pair m_browser;
    loopback::Pair m_gateway;
    ConnPair m_cp;
};

TEST_F(RelayPathTest, BrowserBytesCrossAtOnceAndTheBrowserIsReadAgain) {
    const std::string request = "GET http://example.test/ HTTP/1.1\r\nHost: example.test\r\n\r\n";
    browserSends(request);
    m_env.clock().advanceSeconds(3);
    m_server.relayFromBrowser(m_cp);

    EXPECT_EQ(loopback::readExactly(m_gateway.far, request.size()), request);
    EXPECT_FALSE(m_cp.m_sendingToTarnwicket);
    EXPECT_EQ(m_cp.m_bs_tx_len, 0);
    EXPECT_EQ(m_cp.m_bs_tx_pos, 0);
    EXPECT_EQ(m_cp.m_bs_rx_pos, 0);
    EXPECT_EQ(m_cp.m_lastActivity, now());
    EXPECT_FALSE(m_cp.m_closing);
    EXPECT_TRUE(m_env.log().events().empty());
}

TEST_F(RelayPathTest, PartialSendsResumeWhereTheyStoppedAndHoldTheBrowserBack) {
    m_env.sockets().limitSend(m_gateway.near, 4);
    browserSends("abcdefghij");
    m_server.relayFromBrowser(m_cp);
    EXPECT_TRUE(m_cp.m_sendingToTarnwicket);
    EXPECT_EQ(m_cp.m_bs_tx_pos, 4);
    EXPECT_EQ(m_cp.m_bs_tx_len, 6);

    m_server.sendToTarnwicket(m_cp);
    EXPECT_EQ(m_cp.m_bs_tx_pos, 8);
    m_server.sendToTarnwicket(m_cp);
    EXPECT_FALSE(m_cp.m_sendingToTarnwicket);
    EXPECT_EQ(m_cp.m_bs_tx_len, 0);
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 10), "abcdefghij");
}

TEST_F(RelayPathTest, WouldBlockOnSendWaitsForTheNextWritableEvent) {
    m_env.sockets().failNext(Op::Send, platform::kWsaEWouldBlock, 1, m_gateway.near);
    browserSends("hello");
    m_server.relayFromBrowser(m_cp);
    EXPECT_TRUE(m_cp.m_sendingToTarnwicket);
    EXPECT_EQ(m_cp.m_bs_tx_len, 5);
    EXPECT_FALSE(m_cp.m_closing);
    EXPECT_TRUE(m_env.log().events().empty());

    m_server.sendToTarnwicket(m_cp);
    EXPECT_FALSE(m_cp.m_sendingToTarnwicket);
    EXPECT_EQ(loopback::readExactly(m_gateway.far, 5), "hello");
}

TEST_F(RelayPathTest, GatewayWriteFailureClosesWhileRelayingAndGivesAPageBefore) {
    m_env.sockets().failNext(Op::Send, platform::kWsaEConnReset, 1, m_gateway.near);
    browserSends("x");
    m_server.relayFromBrowser(m_cp);
    const std::string text = failureText("write to", platform::kWsaEConnReset);
    EXPECT_TRUE(m_cp.m_closing);
    EXPECT_EQ(m_env.log().narrowTexts(), std::vector<std::string>{text});

    ConnPair negotiating;
    negotiating.m_state = AwaitingSubnegotiationReply;
    negotiating.m_tarnwicketSock = m_gateway.near;
    negotiating.m_bs_tx_len = 5;
    m_env.sockets().failNext(Op::Send, platform::kWsaEConnAborted, 1, m_gateway.near);
    m_server.sendToTarnwicket(negotiating);
    negotiating.m_tarnwicketSock = platform::kInvalidSocket;  // owned by the fixture

    const std::string page =
        buildErrorResponse(BadGateway, failureText("write to", platform::kWsaEConnAborted));
    EXPECT_FALSE(negotiating.m_closing);
    EXPECT_EQ(negotiating.m_state, SendingErrorPage);
    EXPECT_EQ(bytesOf(negotiating.m_sb_buf, negotiating.m_sb_buf.size()), page);
}

TEST_F(RelayPathTest, BrowserReceiveOutcomes) {
    m_env.sockets().failNext(Op::Recv, platform::kWsaEConnReset, 1, m_browser.near);
    m_server.relayFromBrowser(m_cp);
    EXPECT_TRUE(m_cp.m_closing);
    EXPECT_TRUE(m_env.log().events().empty()) << "a reset browser is not worth a message";

    for (int code : {platform::kWsaEConnAborted, platform::kWsaEWouldBlock}) {
        m_cp.m_closing = false;
        m_env.sockets().failNext(Op::Recv, code, 1, m_browser.near);
        m_server.relayFromBrowser(m_cp);
        EXPECT_TRUE(m_cp.m_closing) << code;
        EXPECT_TRUE(
            m_env.log().contains("SocksProxyServer::recvFromBrowser(), recv() from browser "
                                 "error, WSAGetLastError() = " +
                                 std::to_string(code)));
    }

    EXPECT_EQ(m_env.log().events().size(), 2u);
}

// Each side may end its sending on its own: what it sent is delivered, its
// end is passed on, the other direction goes on, and the pair closes once
// both sides have ended.
TEST_F(RelayPathTest, AnEndedSideIsPassedOnWhileTheOtherDirectionGoesOn) {
    for (const bool browserFirst : {true, false}) {
        SCOPED_TRACE(browserFirst ? "browser ends first" : "gateway ends first");
        loopback::Pair browser = loopback::connectedPair();
        loopback::Pair gateway = loopback::connectedPair();
        ConnPair cp;
        cp.m_browserSock = browser.near;
        cp.m_tarnwicketSock = gateway.near;
        cp.m_state = Relaying;
        cp.m_sendingToTarnwicket = false;
        loopback::Pair& first = browserFirst ? browser : gateway;
        loopback::Pair& second = browserFirst ? gateway : browser;
        auto serve = [&](const loopback::Pair& side) {
            ASSERT_TRUE(loopback::waitReadable(side.near, kWait));
            if (&side == &browser) {
                m_server.relayFromBrowser(cp);
            } else {
                m_server.handleTarnwicketReadable(cp);
            }
        };

        ASSERT_TRUE(loopback::sendAll(first.far, "last words"));
        ASSERT_EQ(0, platform::nativeSockets().shutdownSend(first.far));
        serve(first);
        serve(first);
        EXPECT_FALSE(cp.m_closing);
        bool ended = false;
        EXPECT_EQ(loopback::readToEnd(second.far, ended), "last words");
        EXPECT_TRUE(ended) << "the end is passed on after the bytes";

        ASSERT_TRUE(loopback::sendAll(second.far, "answer"));
        serve(second);
        EXPECT_EQ(loopback::readExactly(first.far, 6), "answer");
        EXPECT_FALSE(cp.m_closing);

        ASSERT_EQ(0, platform::nativeSockets().shutdownSend(second.far));
        serve(second);
        EXPECT_TRUE(cp.m_closing);
        EXPECT_TRUE(m_env.log().events().empty());
        loopback::close(browser.far);
        loopback::close(gateway.far);
    }
}

// An operation called in the wrong phase logs why and changes nothing; a pair
// logs a guard once, however often it is hit.
TEST_F(RelayPathTest, GuardsChangeNothingAndAreLoggedOncePerPair) {
    using Op = void (SocksProxyServer::*)(ConnPair&);
    struct Case {
        const char* text;
        void (*setUp)(ConnPair&);
        Op op;
    };
    const Case cases[] = {
        {"SocksProxyServer::recvFromBrowser(), called with m_sendingToTarnwicket == true",
         [](ConnPair& cp) { cp.m_sendingToTarnwicket = true; },
         &SocksProxyServer::relayFromBrowser},
        {"SocksProxyServer::sendToTarnwicket(), called with cp->m_bs_tx_len == 0",
         [](ConnPair& cp) { cp.m_sendingToTarnwicket = true; },
         &SocksProxyServer::sendToTarnwicket},
        {"SocksProxyServer::recvFromTarnwicket(), called with m_sb_rx_pos == m_sb_buf.size()",
         [](ConnPair& cp) {
             cp.m_state = AwaitingConnectReply;
             cp.m_sb_rx_pos = static_cast<std::int32_t>(cp.m_sb_buf.size());
         },
         &SocksProxyServer::recvFromTarnwicket},
        {"SocksProxyServer::sendToBrowser(), called with m_sendingToBrowser == false",
         [](ConnPair&) {}, &SocksProxyServer::sendToBrowser},
    };
    for (const Case& c : cases) {
        ConnPair cp;
        cp.m_state = Relaying;
        cp.m_sendingToTarnwicket = false;
        c.setUp(cp);
        m_env.log().clear();
        (m_server.*c.op)(cp);
        (m_server.*c.op)(cp);
        EXPECT_EQ(m_env.log().narrowTexts(), std::vector<std::string>{c.text});
        EXPECT_FALSE(cp.m_closing);
    }
}

TEST_F(RelayPathTest, SlowBrowserHoldsTheGatewayUnreadUntilTheBufferIsOut) {
    m_env.sockets().limitSend(m_browser.near, 5);
    gatewaySends("0123456789AB");
    m_server.handleTarnwicketReadable(m_cp);
    EXPECT_TRUE(m_cp.m_sendingToBrowser);
    EXPECT_EQ(m_cp.m_sb_tx_pos, 5);
    EXPECT_EQ(m_cp.m_sb_tx_len, 7);

    const int recvCalls = m_env.sockets().calls(Op::Recv);
    m_server.handleTarnwicketReadable(m_cp);
    EXPECT_EQ(m_env.sockets().calls(Op::Recv), recvCalls) << "gateway read while sending";

    m_server.sendToBrowser(m_cp);
    m_server.sendToBrowser(m_cp);
    EXPECT_FALSE(m_cp.m_sendingToBrowser);
    EXPECT_EQ(m_cp.m_sb_tx_len, 0);
    EXPECT_EQ(loopback::readExactly(m_browser.far, 12), "0123456789AB");
}

TEST_F(RelayPathTest, NegotiationRepliesAccumulateForTheHandlers) {
    m_cp.m_state = AwaitingConnectReply;
    m_cp.m_sendingToTarnwicket = true;
    gatewaySends(std::string("\x05\x00\x00", 3));
    m_server.recvFromTarnwicket(m_cp);
    gatewaySends(std::string("\x01\x7f", 2));
    m_server.recvFromTarnwicket(m_cp);
    EXPECT_EQ(m_cp.m_sb_rx_pos, 5);
    EXPECT_FALSE(m_cp.m_sendingToBrowser);
    EXPECT_EQ(bytesOf(m_cp.m_sb_buf, 5), std::string("\x05\x00\x00\x01\x7f", 5));
    EXPECT_FALSE(loopback::waitReadable(m_browser.far, std::chrono::milliseconds(0)));
}

TEST_F(RelayPathTest, GatewayReadFailureGivesThePageBeforeRelayingAndClosesAfter) {
    m_cp.m_state = AwaitingMethodSelection;
    m_cp.m_sendingToTarnwicket = true;
    m_env.sockets().failNext(Op::Recv, platform::kWsaEConnReset, 1, m_gateway.near);
    m_server.recvFromTarnwicket(m_cp);
    const std::string text = failureText("read from", platform::kWsaEConnReset);
    EXPECT_EQ(m_cp.m_state, SendingErrorPage);
    EXPECT_EQ(bytesOf(m_cp.m_sb_buf, m_cp.m_sb_buf.size()), buildErrorResponse(BadGateway, text));
    EXPECT_EQ(m_env.log().narrowTexts(), std::vector<std::string>{text});

    ConnPair relaying;
    relaying.m_state = Relaying;
    relaying.m_tarnwicketSock = m_gateway.near;
    m_env.sockets().failNext(Op::Recv, platform::kWsaEConnReset, 1, m_gateway.near);
    m_server.recvFromTarnwicket(relaying);
    relaying.m_tarnwicketSock = platform::kInvalidSocket;
    EXPECT_TRUE(relaying.m_closing);
    EXPECT_EQ(relaying.m_state, Relaying);
}

TEST_F(RelayPathTest, GatewayClosingDuringTheNegotiationClosesWithoutAPage) {
    m_cp.m_state = AwaitingSubnegotiationReply;
    m_cp.m_sendingToTarnwicket = true;
    loopback::close(m_gateway.far);
    ASSERT_TRUE(loopback::waitReadable(m_gateway.near, kWait));
    m_server.handleTarnwicketReadable(m_cp);
    EXPECT_TRUE(m_cp.m_closing);
    EXPECT_EQ(m_cp.m_state, AwaitingSubnegotiationReply);
    EXPECT_TRUE(m_env.log().events().empty());
}

// Sends the queued page in pieces, as the loop would on writable events.
void sendPage(SocksProxyServer& server, ConnPair& cp) {
    for (int i = 0; i < 1000 && cp.m_sendingToBrowser && !cp.m_closing; ++i)
        server.sendToBrowser(cp);
}

TEST_F(RelayPathTest, ErrorPageGoesOutThenTheBrowserSeesItsEnd) {
    m_cp.m_state = ConnectingToTarnwicket;
    m_cp.m_sendingToTarnwicket = true;
    m_server.sendErrorPage(m_cp, BadGateway,
                           "Could not connect to Tarnwicket (connection refused)");
    const std::string page = bytesOf(m_cp.m_sb_buf, m_cp.m_sb_buf.size());
    m_env.sockets().limitSend(m_browser.near, 100);
    sendPage(m_server, m_cp);
    EXPECT_FALSE(m_cp.m_sendingToBrowser);
    EXPECT_FALSE(m_cp.m_closing);

    bool ended = false;
    EXPECT_EQ(loopback::readToEnd(m_browser.far, ended), page);
    EXPECT_TRUE(ended) << "the send side is shut down after the page";

    // Whatever the browser sends now is dropped and is no sign of life.
    const std::int64_t lastActivity = m_cp.m_lastActivity;
    m_env.clock().advanceSeconds(5);
    browserSends("GET / HTTP/1.1\r\n\r\n");
    m_server.relayFromBrowser(m_cp);
    EXPECT_EQ(m_cp.m_lastActivity, lastActivity);
    EXPECT_EQ(m_cp.m_state, SendingErrorPage);
    EXPECT_FALSE(m_cp.m_closing);
    EXPECT_EQ(m_cp.m_bs_tx_len, 0);
    EXPECT_TRUE(m_env.log().events().empty());
}

TEST_F(RelayPathTest, GatewayBytesAfterThePageAreDroppedQuietlyUntilItCloses) {
    m_cp.m_state = AwaitingConnectReply;
    m_cp.m_sendingToTarnwicket = true;
    m_server.sendErrorPage(m_cp, BadGateway, "m");
    sendPage(m_server, m_cp);
    const std::size_t pageSize = m_cp.m_sb_buf.size();
    bool ended = false;
    loopback::readToEnd(m_browser.far, ended);
    ASSERT_TRUE(ended);

    // Several times what the spent page buffer holds.
    ASSERT_TRUE(loopback::sendAll(m_gateway.far, std::string(pageSize * 5 + 3, 'g')));
    loopback::close(m_gateway.far);
    int calls = 0;
    for (; calls < 10000 && !m_cp.m_closing; ++calls) {
        ASSERT_TRUE(loopback::waitReadable(m_gateway.near, kWait));
        m_server.handleTarnwicketReadable(m_cp);
    }
    EXPECT_TRUE(m_cp.m_closing);
    EXPECT_GE(calls, 2);
    EXPECT_EQ(m_cp.m_sb_rx_pos, 0);
    EXPECT_TRUE(m_env.log().events().empty()) << m_env.log().narrowTexts().front();
}

TEST_F(RelayPathTest, ReceiveOffsetBeyondTheBufferIsALogicError) {
    m_cp.m_bs_rx_pos = static_cast<std::int32_t>(m_cp.m_bs_buf.size()) + 1;
    try {
        m_server.relayFromBrowser(m_cp);
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "cp->m_bs_rx_pos > cp->m_bs_buf.size()");
    }
    m_cp.m_sb_rx_pos = static_cast<std::int32_t>(m_cp.m_sb_buf.size()) + 1;
    try {
        m_server.recvFromTarnwicket(m_cp);
        FAIL();
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "cp->m_sb_rx_pos > cp->m_sb_buf.size()");
    }
}

}  // namespace
