#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "proxy/error_page.h"
#include "proxy/socks_proxy_server.h"
#include "tests/fakes/fake_relay_env.h"

namespace {

const std::string kHeaderEnd = "\r\n\r\n";

std::string bodyOf(const std::string& response) {
    return response.substr(response.find(kHeaderEnd) + kHeaderEnd.size());
}

std::vector<std::string> linesOf(const std::string& body) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2) {
        lines.push_back(body.substr(start, end - start));
    }
    EXPECT_EQ(start, body.size()) << "every line ends with CR LF";
    return lines;
}

TEST(ErrorPage, NegotiationTimeoutResponseHasExactHeadersAndLength) {
    const std::string response = buildErrorResponse(GatewayTimeout, "Proxy negotiation timed out");
    const std::string head =
        "HTTP/1.0 504 Gateway Timeout\r\n"
        "Content-Type: text/html; charset=UTF-8\r\n"
        "Content-Length: 1221\r\n"
        "\r\n";
    ASSERT_EQ(response.substr(0, head.size()), head);
    EXPECT_EQ(bodyOf(response).size(), 1221u);
}

TEST(ErrorPage, BodyIsTheSeventyTwoLineTemplateAroundTheMessage) {
    const std::string body = bodyOf(buildErrorResponse(BadGateway, "X"));
    const std::vector<std::string> lines = linesOf(body);
    ASSERT_EQ(lines.size(), 72u);
    EXPECT_EQ(lines[0], "<!DOCTYPE HTML>");
    EXPECT_EQ(lines[4], "<style type=\"text/css\">");
    EXPECT_EQ(lines[24], "box-shadow: 0px 0px 23px -2px rgba(0,0,0,0.75);");
    EXPECT_EQ(lines[62], "<div id=\"page\">");
    EXPECT_EQ(lines[65], "<h2>X</h2>");
    EXPECT_EQ(lines[67], "<h3>Contact your system administrator to resolve the issue</h3>");
    EXPECT_EQ(lines[68], "<h4>Powered by <span>Tarnwicket</span></h4>");
    EXPECT_EQ(lines[71], "</html>");
    for (const std::string& line : lines) {
        EXPECT_TRUE(line.empty() || (line[0] != ' ' && line[0] != '\t')) << "indented: " << line;
    }
    EXPECT_EQ(body.size(), 1194u + 1u);
}

TEST(ErrorPage, StatusLines) {
    EXPECT_EQ(buildErrorResponse(InternalServerError, "")
                  .rfind("HTTP/1.0 500 Internal Server Error\r\n", 0),
              0u);
    EXPECT_EQ(buildErrorResponse(BadGateway, "").rfind("HTTP/1.0 502 Bad Gateway\r\n", 0), 0u);
    EXPECT_THROW(buildErrorResponse(static_cast<HttpErrorCode>(3), "m"), std::invalid_argument);
    try {
        buildErrorResponse(static_cast<HttpErrorCode>(-1), "m");
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "http_code");
    }
}

TEST(ErrorPage, MessageIsEscapedOnceAndCountedInBytes) {
    auto line66 = [](const std::string& message) {
        return linesOf(bodyOf(buildErrorResponse(BadGateway, message)))[65];
    };
    EXPECT_EQ(line66("a<b&c>d \"q\" 'r'"), "<h2>a&lt;b&amp;c&gt;d \"q\" 'r'</h2>");
    EXPECT_EQ(line66("&amp;"), "<h2>&amp;amp;</h2>");
    EXPECT_EQ(line66(""), "<h2></h2>");

    // Two characters, five bytes in UTF-8.
    const std::string nonAscii = "\xC3\xA9\xE2\x82\xAC";
    const std::string response = buildErrorResponse(BadGateway, nonAscii);
    EXPECT_NE(response.find("Content-Length: " + std::to_string(1194 + 5) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(bodyOf(response).size(), 1199u);
}

class SendErrorPageTest : public ::testing::Test {
protected:
    RelayEnv m_env;
    SocksProxyServer m_server{nullptr};
    ConnPair m_cp;
};

TEST_F(SendErrorPageTest, QueuesThePageAndSwitchesBothDirections) {
    m_cp.m_state = AwaitingConnectReply;
    m_cp.m_sb_rx_pos = 7;  // a partial reply, abandoned with the negotiation
    m_server.sendErrorPage(m_cp, GatewayTimeout, "Proxy negotiation timed out");

    const std::string expected = buildErrorResponse(GatewayTimeout, "Proxy negotiation timed out");
    EXPECT_EQ(std::string(m_cp.m_sb_buf.begin(), m_cp.m_sb_buf.end()), expected);
    EXPECT_EQ(m_cp.m_sb_tx_len, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(m_cp.m_sb_tx_pos, 0);
    EXPECT_EQ(m_cp.m_sb_rx_pos, 0);
    EXPECT_EQ(m_cp.m_state, SendingErrorPage);
    EXPECT_TRUE(m_cp.m_sendingToBrowser);
    EXPECT_FALSE(m_cp.m_sendingToTarnwicket);
}

TEST_F(SendErrorPageTest, FirstPageWinsAndRelayingGetsNone) {
    m_cp.m_state = ConnectingToTarnwicket;
    m_server.sendErrorPage(m_cp, BadGateway, "first");
    const RelayBuffer first = m_cp.m_sb_buf;
    m_server.sendErrorPage(m_cp, GatewayTimeout, "second");
    EXPECT_EQ(m_cp.m_sb_buf, first);

    ConnPair relaying;
    relaying.m_state = Relaying;
    relaying.m_sendingToTarnwicket = false;
    m_server.sendErrorPage(relaying, BadGateway, "late");
    EXPECT_EQ(relaying.m_state, Relaying);
    EXPECT_EQ(relaying.m_sb_buf.size(), kRelayBufferSize);
    EXPECT_FALSE(relaying.m_sendingToBrowser);
}

}  // namespace
