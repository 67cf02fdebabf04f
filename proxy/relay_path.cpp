// Moving bytes between a pair's two sockets. Each direction has one buffer
// that is either being filled or being sent, never both, so bytes leave in
// the order they arrived and a slow receiver holds the sender back.
#include <stdexcept>
#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char* const kRecvFromBrowserOp = "SocksProxyServer::recvFromBrowser()";
const char* const kSendToTarnwicketOp = "SocksProxyServer::sendToTarnwicket()";
const char* const kRecvFromTarnwicketOp = "SocksProxyServer::recvFromTarnwicket()";
const char* const kSendToBrowserOp = "SocksProxyServer::sendToBrowser()";

// Reads of one socket per readiness, when each brings much and goes out whole.
constexpr int kReadsPerReadiness = 16;

// A guard means an unexpected order of events; once per pair is enough to
// see it, and a peer that keeps causing it cannot flood the log.
void logGuard(ConnPair& cp, const char* operation, const wchar_t* detail) {
    if (cp.m_guardLogged)
        return;
    cp.m_guardLogged = true;
    (LogMessage(operation) << detail).log();
}

std::string gatewayFailureText(const char* what, int error) {
    return std::string("Could not ") + what + " tarnwicket " + errorCodeText(error);
}

}  // namespace

void SocksProxyServer::recvFromBrowser(ConnPair& cp) {
    receiveFromBrowser(cp, false);
}

int SocksProxyServer::receiveFromBrowser(ConnPair& cp, bool again) {
    if (cp.m_sendingToTarnwicket) {
        logGuard(cp, kRecvFromBrowserOp, L", called with m_sendingToTarnwicket == true");
        return 0;
    }
    const auto size = static_cast<std::int32_t>(cp.m_bs_buf.size());
    if (cp.m_bs_rx_pos > size)
        throw std::logic_error("cp->m_bs_rx_pos > cp->m_bs_buf.size()");
    if (cp.m_bs_rx_pos == size) {
        logGuard(cp, kRecvFromBrowserOp, L", called with m_bs_rx_pos == m_bs_buf.size()");
        return 0;
    }
    int received = 0;
    const int error = platform::sockets().recv(
        cp.m_browserSock, cp.m_bs_buf.data() + cp.m_bs_rx_pos, size - cp.m_bs_rx_pos, received);
    if (error == platform::kWsaEWouldBlock && again)
        return 0;  // nothing more for now
    if (error != 0) {
        // A browser that resets its connection is routine, not worth a message.
        if (error != platform::kWsaEConnReset) {
            (LogMessage(kRecvFromBrowserOp)
             << L", recv() from browser error, WSAGetLastError() = " << error)
                .log();
        }
        cp.m_closing = true;
        return 0;
    }
    if (received == 0) {
        endOfStream(cp, cp.m_browserEnded, cp.m_tarnwicketSock);
        return 0;
    }
    // After an error page the browser has nothing left to say to anyone.
    if (cp.m_state == SendingErrorPage)
        return 0;

    cp.m_lastActivity = platform::clock().nowTicks();
    cp.m_bs_tx_pos = 0;
    cp.m_bs_tx_len = cp.m_bs_rx_pos + received;
    cp.m_bs_rx_pos = 0;
    cp.m_sendingToTarnwicket = true;
    sendToTarnwicket(cp);
    return received;
}

void SocksProxyServer::sendToTarnwicket(ConnPair& cp) {
    if (!cp.m_sendingToTarnwicket) {
        logGuard(cp, kSendToTarnwicketOp, L", called with m_sendingToTarnwicket == false");
        return;
    }
    if (cp.m_bs_tx_len == 0) {
        logGuard(cp, kSendToTarnwicketOp, L", called with cp->m_bs_tx_len == 0");
        return;
    }
    int sent = 0;
    const int error = platform::sockets().send(
        cp.m_tarnwicketSock, cp.m_bs_buf.data() + cp.m_bs_tx_pos, cp.m_bs_tx_len, sent);
    if (error == platform::kWsaEWouldBlock)
        return;  // the loop retries when writable
    if (error != 0) {
        const std::string text = gatewayFailureText("write to", error);
        logUtf8Error(text);
        if (cp.m_state >= Relaying) {
            cp.m_closing = true;
        } else {
            sendErrorPage(cp, BadGateway, text);
        }
        return;
    }
    cp.m_lastActivity = platform::clock().nowTicks();
    if (cp.m_state == Relaying)
        cp.m_bytesToTarnwicket += static_cast<std::uint64_t>(sent);
    cp.m_bs_tx_pos += sent;
    cp.m_bs_tx_len -= sent;
    if (cp.m_bs_tx_len > 0)
        return;
    cp.m_bs_tx_pos = 0;
    cp.m_bs_tx_len = 0;
    cp.m_bs_rx_pos = 0;
    // During the negotiation the flag stays set, which keeps the browser
    // unread until the connect reply starts the relaying.
    if (cp.m_state == Relaying) {
        cp.m_sendingToTarnwicket = false;
    } else if (cp.m_sb_rx_pos > 0) {
        handleNegotiationReply(cp);  // it came before this message was out
    }
}

void SocksProxyServer::recvFromTarnwicket(ConnPair& cp) {
    receiveFromTarnwicket(cp, false);
}

int SocksProxyServer::receiveFromTarnwicket(ConnPair& cp, bool again) {
    if (cp.m_sendingToBrowser) {
        logGuard(cp, kRecvFromTarnwicketOp, L", called with m_sendingToBrowser == true");
        return 0;
    }
    // After an error page nothing from the gateway is forwarded: the bytes
    // are read into the spent page buffer and dropped, so a talkative
    // gateway can neither fill the buffer nor keep the socket readable.
    const bool discard = cp.m_state == SendingErrorPage;
    const auto size = static_cast<std::int32_t>(cp.m_sb_buf.size());
    const std::int32_t rxPos = discard ? 0 : cp.m_sb_rx_pos;
    if (rxPos > size)
        throw std::logic_error("cp->m_sb_rx_pos > cp->m_sb_buf.size()");
    if (rxPos == size) {
        logGuard(cp, kRecvFromTarnwicketOp, L", called with m_sb_rx_pos == m_sb_buf.size()");
        return 0;
    }
    int received = 0;
    const int error = platform::sockets().recv(cp.m_tarnwicketSock, cp.m_sb_buf.data() + rxPos,
                                               size - rxPos, received);
    if (error == platform::kWsaEWouldBlock && again)
        return 0;  // nothing more for now
    if (error != 0) {
        const std::string text = gatewayFailureText("read from", error);
        logUtf8Error(text);
        if (cp.m_state >= Relaying) {
            cp.m_closing = true;
        } else {
            sendErrorPage(cp, BadGateway, text);
        }
        return 0;
    }
    if (received == 0) {
        endOfStream(cp, cp.m_tarnwicketEnded, cp.m_browserSock);
        return 0;
    }
    if (discard)
        return 0;

    cp.m_lastActivity = platform::clock().nowTicks();
    cp.m_sb_rx_pos += received;
    cp.m_sb_tx_pos = 0;
    cp.m_sb_tx_len = cp.m_sb_rx_pos;
    // In the negotiation the bytes stay for the reply handlers.
    if (cp.m_state != Relaying)
        return received;
    cp.m_sb_rx_pos = 0;
    cp.m_sendingToBrowser = true;
    sendToBrowser(cp);
    return received;
}

void SocksProxyServer::sendToBrowser(ConnPair& cp) {
    if (!cp.m_sendingToBrowser) {
        logGuard(cp, kSendToBrowserOp, L", called with m_sendingToBrowser == false");
        return;
    }
    if (cp.m_sb_tx_len == 0) {
        logGuard(cp, kSendToBrowserOp, L", called with m_sb_tx_len == 0");
        return;
    }
    int sent = 0;
    const int error = platform::sockets().send(
        cp.m_browserSock, cp.m_sb_buf.data() + cp.m_sb_tx_pos, cp.m_sb_tx_len, sent);
    if (error == platform::kWsaEWouldBlock)
        return;  // the loop retries when writable
    if (error != 0) {
        cp.m_closing = true;
        return;
    }
    cp.m_lastActivity = platform::clock().nowTicks();
    if (cp.m_state == Relaying)
        cp.m_bytesToBrowser += static_cast<std::uint64_t>(sent);
    cp.m_sb_tx_pos += sent;
    cp.m_sb_tx_len -= sent;
    if (cp.m_sb_tx_len > 0)
        return;
    cp.m_sb_tx_pos = 0;
    cp.m_sb_tx_len = 0;
    cp.m_sb_rx_pos = 0;
    cp.m_sendingToBrowser = false;
    // The browser learns where the error response ends.
    if (cp.m_state == SendingErrorPage)
        platform::sockets().shutdownSend(cp.m_browserSock);
}

// A large read whose bytes all went out at once most likely left more
// waiting: reading it in the same pass, a few times at most, spares whole
// passes of the loop over every pair for a busy one.
bool SocksProxyServer::readAgain(const ConnPair& cp, int received, bool fromTarnwicket) const {
    if (cp.m_closing || cp.m_state != Relaying || received < static_cast<int>(kRelayBufferSize / 4))
        return false;
    return fromTarnwicket ? !cp.m_sendingToBrowser && !cp.m_tarnwicketEnded
                          : !cp.m_sendingToTarnwicket && !cp.m_browserEnded;
}

void SocksProxyServer::endOfStream(ConnPair& cp, bool& ended, platform::Socket towards) {
    // Outside the relaying (negotiation, error page) either end closes the pair.
    if (cp.m_state != Relaying) {
        cp.m_closing = true;
        return;
    }
    // A side is read only once everything it sent before has been passed
    // on, so its end can be passed on at once; the other direction goes on
    // until that side ends too.
    ended = true;
    if (cp.m_browserEnded && cp.m_tarnwicketEnded) {
        cp.m_closing = true;
        return;
    }
    if (platform::sockets().shutdownSend(towards) != 0)
        cp.m_closing = true;
}

void SocksProxyServer::relayFromBrowser(ConnPair& cp) {
    int received = receiveFromBrowser(cp, false);
    for (int round = 1; round < kReadsPerReadiness && readAgain(cp, received, false); ++round)
        received = receiveFromBrowser(cp, true);
}

void SocksProxyServer::handleTarnwicketReadable(ConnPair& cp) {
    if (cp.m_closing)
        return;
    if (cp.m_state == Relaying) {
        if (cp.m_sendingToBrowser)
            return;
        int received = receiveFromTarnwicket(cp, false);
        for (int round = 1; round < kReadsPerReadiness && readAgain(cp, received, true); ++round)
            received = receiveFromTarnwicket(cp, true);
        return;
    }
    recvFromTarnwicket(cp);
    if (cp.m_closing)
        return;
    // A reply is looked at once what it answers has gone out whole (then
    // sendToTarnwicket looks at it): a gateway that answers early must not
    // have the next message written over the rest of one still going out.
    if (cp.m_bs_tx_len > 0)
        return;
    handleNegotiationReply(cp);
}
