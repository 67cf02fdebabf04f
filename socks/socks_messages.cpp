// The fixed-size SOCKS5 messages: greeting, method selection reply, connect
// request and connect reply. Replies accumulate at the start of m_sb_buf;
// each handler waits until its whole reply is there.
#include <algorithm>
#include <array>
#include <cstring>

#include "proxy/socks_proxy_server.h"
#include "support/logging.h"

namespace {

const char kMethodSelectionOp[] = "SocksProxyServer::handleSocksMethodSelectionMsg()";
const char kConnectReplyOp[] = "SocksProxyServer::handleSocksConnectRequestReply()";

constexpr std::uint8_t kNoAcceptableMethod = 0xFF;
constexpr std::uint8_t kCmdConnect = 0x01;
constexpr std::uint8_t kAtypIpv4 = 0x01;
constexpr std::size_t kMethodSelectionLen = 2;
constexpr std::size_t kConnectReplyLen = 10;

// Writes an outgoing message at the start of m_bs_buf, ready for
// sendToTarnwicket.
void placeMessage(ConnPair& cp, const std::uint8_t* data, std::size_t len) {
    if (cp.m_bs_buf.size() < len)
        cp.m_bs_buf.resize(len);
    std::memcpy(cp.m_bs_buf.data(), data, len);
    cp.m_bs_tx_pos = 0;
    cp.m_bs_tx_len = static_cast<std::int32_t>(len);
}

unsigned byteAt(const ConnPair& cp, std::size_t i) {
    return cp.m_sb_buf[i];
}

}  // namespace

void SocksProxyServer::sendSocksGreeting(ConnPair& cp) {
    const std::uint8_t greeting[] = {m_socksVersion, 1, m_socksAuthMethod};
    placeMessage(cp, greeting, sizeof greeting);
    sendToTarnwicket(cp);
    if (cp.m_state != SendingErrorPage)
        cp.m_state = AwaitingMethodSelection;
}

void SocksProxyServer::handleSocksMethodSelectionMsg(ConnPair& cp) {
    const std::size_t n = receivedBytes(cp);
    if (n < kMethodSelectionLen)
        return;
    // Whatever the outcome, this reply has been consumed.
    cp.m_sb_rx_pos = 0;

    if (n > kMethodSelectionLen) {
        (LogMessage(kMethodSelectionOp)
         << L", socks protocol error, recv'd " << n << L"bytes from tarnwicket, expected 2")
            .log();
        cp.m_closing = true;
        return;
    }
    const unsigned version = byteAt(cp, 0);
    if (version != m_socksVersion) {
        (LogMessage(kMethodSelectionOp)
         << L", socks version error, tarnwicket returned version " << version)
            .log();
        cp.m_closing = true;
        return;
    }
    if (byteAt(cp, 1) == kNoAcceptableMethod) {
        (LogMessage(kMethodSelectionOp) << L", no acceptable socks method").log();
        cp.m_closing = true;
        return;
    }
    // Any other method is taken as acceptance of ours.
    sendSubnegotiationPacket(cp);
}

void SocksProxyServer::sendSocksConnectRequest(ConnPair& cp) {
    cp.m_state = Authenticated;
    cp.m_sb_rx_pos = 0;
    // CONNECT to 127.0.0.1:8080 as the gateway sees it, not the browser's
    // target: the browser's HTTP proxy requests travel through the tunnel.
    const std::uint8_t request[] = {m_socksVersion, kCmdConnect, 0, kAtypIpv4, 127, 0, 0, 1,
                                    0x1F,           0x90};
    placeMessage(cp, request, sizeof request);
    sendToTarnwicket(cp);
    if (cp.m_state != SendingErrorPage)
        cp.m_state = AwaitingConnectReply;
}

void SocksProxyServer::handleSocksConnectRequestReply(ConnPair& cp) {
    const std::size_t n = receivedBytes(cp);
    if (n < 4)
        return;

    const unsigned version = byteAt(cp, 0);
    if (version != m_socksVersion) {
        (LogMessage(kConnectReplyOp)
         << L", socks version error, tarnwicket returned version " << version)
            .log();
        cp.m_closing = true;
        return;
    }
    const unsigned reserved = byteAt(cp, 2);
    if (reserved != 0) {
        (LogMessage(kConnectReplyOp) << L", socks error, RSV = " << reserved).log();
        cp.m_closing = true;
        return;
    }
    const unsigned addressType = byteAt(cp, 3);
    if (addressType != kAtypIpv4) {
        (LogMessage(kConnectReplyOp)
         << L", socks error, ATYP = " << addressType << L", expected 0x01 (ipv4)")
            .log();
        cp.m_closing = true;
        return;
    }
    if (n != kConnectReplyLen)
        return;

    cp.m_sb_rx_pos = 0;
    const unsigned reply = byteAt(cp, 1);
    if (reply != 0) {
        (LogMessage(kConnectReplyOp) << L", socks connection request failed, REP = " << reply)
            .log();
        cp.m_closing = true;
        return;
    }
    cp.m_state = Relaying;
    cp.m_sendingToTarnwicket = false;
    cp.m_sendingToBrowser = false;
    m_counters.relayed++;
}
