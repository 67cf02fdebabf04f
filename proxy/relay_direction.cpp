#include "proxy/relay_direction.h"

#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

// A failing gateway connection is logged; before relaying the browser gets
// the 502 page for it, while relaying the pair just closes.
void gatewayFailed(SocksProxyServer& server, ConnPair& cp, const char* what, int error) {
    const std::string text =
        std::string("Could not ") + what + " tarnwicket " + errorCodeText(error);
    logUtf8Error(text);
    if (cp.m_state >= Relaying) {
        cp.m_closing = true;
    } else {
        server.sendErrorPage(cp, BadGateway, text);
    }
}

void gatewayReadFailed(SocksProxyServer& server, ConnPair& cp, int error) {
    gatewayFailed(server, cp, "read from", error);
}

void gatewayWriteFailed(SocksProxyServer& server, ConnPair& cp, int error) {
    gatewayFailed(server, cp, "write to", error);
}

void browserReadFailed(SocksProxyServer&, ConnPair& cp, int error) {
    // A browser that resets its connection is routine, not worth a message.
    if (error != platform::kWsaEConnReset) {
        (LogMessage("SocksProxyServer::recvFromBrowser()")
         << L", recv() from browser error, WSAGetLastError() = " << error)
            .log();
    }
    cp.m_closing = true;
}

// A browser that has gone is no news.
void browserWriteFailed(SocksProxyServer&, ConnPair& cp, int) {
    cp.m_closing = true;
}

void requestSent(SocksProxyServer& server, ConnPair& cp) {
    // During the negotiation the flag stays set, which keeps the browser
    // unread until the connect reply starts the relaying.
    if (cp.m_state == Relaying) {
        cp.m_sendingToTarnwicket = false;
    } else if (cp.m_sb_rx_pos > 0) {
        server.handleNegotiationReply(cp);  // it came before this message was out
    }
}

void responseSent(SocksProxyServer&, ConnPair& cp) {
    cp.m_sendingToBrowser = false;
    // The browser learns where the error response ends.
    if (cp.m_state == SendingErrorPage)
        platform::sockets().shutdownSend(cp.m_browserSock);
}

}  // namespace

const RelayDirection kTowardsTarnwicket{
    &ConnPair::m_browserSock,
    &ConnPair::m_tarnwicketSock,
    &ConnPair::m_bs_buf,
    &ConnPair::m_bs_rx_pos,
    &ConnPair::m_bs_tx_pos,
    &ConnPair::m_bs_tx_len,
    &ConnPair::m_sendingToTarnwicket,
    &ConnPair::m_browserEnded,
    &ConnPair::m_bytesToTarnwicket,
    false,
    "SocksProxyServer::recvFromBrowser()",
    "SocksProxyServer::sendToTarnwicket()",
    L", called with m_sendingToTarnwicket == true",
    L", called with m_bs_rx_pos == m_bs_buf.size()",
    "cp->m_bs_rx_pos > cp->m_bs_buf.size()",
    L", called with m_sendingToTarnwicket == false",
    L", called with cp->m_bs_tx_len == 0",
    browserReadFailed,
    gatewayWriteFailed,
    requestSent,
};

const RelayDirection kTowardsBrowser{
    &ConnPair::m_tarnwicketSock,
    &ConnPair::m_browserSock,
    &ConnPair::m_sb_buf,
    &ConnPair::m_sb_rx_pos,
    &ConnPair::m_sb_tx_pos,
    &ConnPair::m_sb_tx_len,
    &ConnPair::m_sendingToBrowser,
    &ConnPair::m_tarnwicketEnded,
    &ConnPair::m_bytesToBrowser,
    true,
    "SocksProxyServer::recvFromTarnwicket()",
    "SocksProxyServer::sendToBrowser()",
    L", called with m_sendingToBrowser == true",
    L", called with m_sb_rx_pos == m_sb_buf.size()",
    "cp->m_sb_rx_pos > cp->m_sb_buf.size()",
    L", called with m_sendingToBrowser == false",
    L", called with m_sb_tx_len == 0",
    gatewayReadFailed,
    browserWriteFailed,
    responseSent,
};
