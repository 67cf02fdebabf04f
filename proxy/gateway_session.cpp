// The pair's side of its gateway connection: opening it (socks/
// gateway_dialer.h) and the SOCKS5 exchange (socks/negotiation.h), whose
// verdicts are applied here. enterState is the one place where a pair's
// state changes.
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "socks/subnegotiation_packet.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kSendPacketOp[] = "SocksProxyServer::sendSubnegotiationPacket()";

// Writes an outgoing message at the start of m_bs_buf, ready for
// sendToTarnwicket. A larger message than the buffer (an identity with
// many groups) gets a buffer of its size for the rest of the pair's life.
void placeMessage(ConnPair& cp, const std::vector<std::uint8_t>& message) {
    if (cp.m_bs_tx_pos != 0)
        throw std::logic_error(std::string(kSendPacketOp) + ", cp->m_bs_tx_pos != 0");
    if (cp.m_bs_tx_len != 0)
        throw std::logic_error(std::string(kSendPacketOp) + ", cp->m_bs_tx_len != 0");
    // Send lengths are 32-bit; a message beyond that could not be sent whole.
    if (message.size() > static_cast<std::size_t>(INT32_MAX))
        throw std::logic_error(std::string(kSendPacketOp) + ", packet too long");
    if (cp.m_bs_buf.size() < message.size())
        cp.m_bs_buf.resize(message.size());
    std::memcpy(cp.m_bs_buf.data(), message.data(), message.size());
    cp.m_bs_tx_pos = 0;
    cp.m_bs_tx_len = static_cast<std::int32_t>(message.size());
}

std::int64_t now() {
    return platform::clock().nowTicks();
}

}  // namespace

void SocksProxyServer::enterState(ConnPair& cp, ConnState state) {
    cp.m_state = state;
    if (state == Relaying) {
        cp.m_sendingToTarnwicket = false;
        cp.m_sendingToBrowser = false;
        m_counters.relayed++;
    } else if (state == SendingErrorPage) {
        cp.m_sendingToBrowser = true;
        cp.m_sendingToTarnwicket = false;
        cp.m_dialer.closeAttempts();
    }
}

void SocksProxyServer::connectToTarnwicket(ConnPair& cp) {
    applyDialProgress(
        cp, cp.m_dialer.start(cp.m_tarnwicketAddrs, m_gatewayHealth, m_connectStagger, now()));
}

void SocksProxyServer::attemptWritable(ConnPair& cp, platform::Socket sock) {
    applyDialProgress(cp, cp.m_dialer.writable(sock, now()));
}

void SocksProxyServer::attemptFailed(ConnPair& cp, platform::Socket sock, int error) {
    applyDialProgress(cp, cp.m_dialer.failed(sock, error, now()));
}

void SocksProxyServer::advanceConnectAttempts(std::int64_t at) {
    m_nextConnectTimer = 0;
    for (auto& owned : m_connPairs) {
        ConnPair& cp = *owned;
        if (cp.m_state != ConnectingToTarnwicket || cp.m_closing)
            continue;
        applyDialProgress(cp, cp.m_dialer.advance(at));
        const std::int64_t next = cp.m_dialer.nextAttemptAt();
        if (next != 0 && (m_nextConnectTimer == 0 || next < m_nextConnectTimer))
            m_nextConnectTimer = next;
    }
}

void SocksProxyServer::applyDialProgress(ConnPair& cp, GatewayDialer::Progress progress) {
    switch (progress) {
        case GatewayDialer::Progress::Connected:
            cp.m_tarnwicketSock = cp.m_dialer.takeConnected();
            sendSocksGreeting(cp);
            break;
        case GatewayDialer::Progress::InFlight:
            if (cp.m_state == WaitingForUserInfo)
                enterState(cp, ConnectingToTarnwicket);
            break;
        case GatewayDialer::Progress::Failed:
            everyAttemptFailed(cp);
            break;
    }
}

void SocksProxyServer::everyAttemptFailed(ConnPair& cp) {
    const ConnectFailure failure = cp.m_dialer.lastFailure();
    if (failure.result == AttemptResult::NoSocket) {
        sendErrorPage(cp, InternalServerError,
                      "Could not connect to Tarnwicket " + errorCodeText(failure.error));
    } else if (failure.result == AttemptResult::NotNonBlocking) {
        sendErrorPage(cp, InternalServerError, "Could not connect to tarnwicket (internal error)");
    } else {
        handleConnectError(cp, failure.error);
    }
}

void SocksProxyServer::handleConnectError(ConnPair& cp, int error) {
    std::string text;
    HttpErrorCode status = BadGateway;
    if (error == platform::kWsaETimedOut) {
        text = "Could not connect to Tarnwicket (connection timed out)";
        status = GatewayTimeout;
    } else if (error == platform::kWsaEConnRefused) {
        text = "Could not connect to Tarnwicket (connection refused)";
    } else {
        text = "Could not connect to Tarnwicket " + errorCodeText(error);
    }
    logUtf8Error(text);
    sendErrorPage(cp, status, std::move(text));
}

void SocksProxyServer::sendSocksGreeting(ConnPair& cp) {
    placeMessage(cp, socksGreeting(m_negotiation));
    enterState(cp, AwaitingMethodSelection);
    sendToTarnwicket(cp);
}

void SocksProxyServer::sendSubnegotiationPacket(ConnPair& cp) {
    // Built first: a packet that cannot be built leaves the pair as it was.
    const std::vector<std::uint8_t> packet = buildSubnegotiationPacket(
        m_negotiation.subnegotiationVersion, m_params.organizationName, cp.m_userInfo);
    placeMessage(cp, packet);
    enterState(cp, AwaitingSubnegotiationReply);
    sendToTarnwicket(cp);
}

void SocksProxyServer::sendSocksConnectRequest(ConnPair& cp) {
    // What is left of earlier replies is no part of the one to come.
    cp.m_sb_rx_pos = 0;
    placeMessage(cp, socksConnectRequest(m_negotiation));
    enterState(cp, AwaitingConnectReply);
    sendToTarnwicket(cp);
}

void SocksProxyServer::handleNegotiationReply(ConnPair& cp) {
    // A verdict that keeps the bytes (a status with its text) is read on at
    // once in the state it leads to.
    for (;;) {
        const Verdict verdict =
            readReply(cp.m_state, cp.m_sb_buf.data(), receivedBytes(cp), m_negotiation);
        if (!verdict.complete)
            return;
        if (!verdict.keepBytes)
            cp.m_sb_rx_pos = 0;
        if (!verdict.error.empty())
            logEvent(verdict.error, kEventTypeError);
        if (verdict.identityRefused)
            m_counters.identitiesRefused++;
        if (verdict.close) {
            cp.m_closing = true;
            return;
        }
        if (verdict.send == NextMessage::SubnegotiationPacket) {
            sendSubnegotiationPacket(cp);
        } else if (verdict.send == NextMessage::ConnectRequest) {
            sendSocksConnectRequest(cp);
        } else {
            enterState(cp, verdict.next);
        }
        if (!verdict.keepBytes)
            return;
    }
}
