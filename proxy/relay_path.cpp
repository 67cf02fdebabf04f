// Moving bytes between a pair's two sockets. Each direction has one buffer
// that is either being filled or being sent, never both, so bytes leave in
// the order they arrived and a slow receiver holds the sender back. The
// code is written once for a direction (proxy/relay_direction.h).
#include <stdexcept>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/relay_direction.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"

namespace {

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

}  // namespace

int SocksProxyServer::receive(ConnPair& cp, const RelayDirection& d, bool again) {
    if (cp.*d.sending) {
        logGuard(cp, d.recvOp, d.recvWhileSending);
        return 0;
    }
    // After an error page nothing from the gateway is forwarded: the bytes
    // are read into the spent page buffer and dropped, so a talkative
    // gateway can neither fill the buffer nor keep the socket readable.
    const bool page = cp.m_state == SendingErrorPage;
    RelayBuffer& buf = cp.*d.buf;
    const auto size = static_cast<std::int32_t>(buf.size());
    const std::int32_t rxPos = page && d.fromGateway ? 0 : cp.*d.rxPos;
    if (rxPos > size)
        throw std::logic_error(d.rxPosBeyondBuffer);
    if (rxPos == size) {
        logGuard(cp, d.recvOp, d.recvIntoFullBuffer);
        return 0;
    }
    int received = 0;
    const int error =
        platform::sockets().recv(cp.*d.from, buf.data() + rxPos, size - rxPos, received);
    if (error == platform::kWsaEWouldBlock && again)
        return 0;  // nothing more for now
    if (error != 0) {
        d.receiveFailed(*this, cp, error);
        return 0;
    }
    if (received == 0) {
        endOfStream(cp, cp.*d.fromEnded, cp.*d.to);
        return 0;
    }
    // After an error page neither side has anything left to say.
    if (page)
        return 0;
    cp.m_lastActivity = platform::clock().nowTicks();
    cp.*d.rxPos += received;
    cp.*d.txPos = 0;
    cp.*d.txLen = cp.*d.rxPos;
    // In the negotiation the gateway's bytes stay for the reply handlers.
    if (d.fromGateway && cp.m_state != Relaying)
        return received;
    cp.*d.rxPos = 0;
    cp.*d.sending = true;
    send(cp, d);
    return received;
}

void SocksProxyServer::send(ConnPair& cp, const RelayDirection& d) {
    if (!(cp.*d.sending)) {
        logGuard(cp, d.sendOp, d.sendWhileNotSending);
        return;
    }
    if (cp.*d.txLen == 0) {
        logGuard(cp, d.sendOp, d.sendNothing);
        return;
    }
    int sent = 0;
    const int error =
        platform::sockets().send(cp.*d.to, (cp.*d.buf).data() + cp.*d.txPos, cp.*d.txLen, sent);
    if (error == platform::kWsaEWouldBlock)
        return;  // the loop retries when writable
    if (error != 0) {
        d.sendFailed(*this, cp, error);
        return;
    }
    cp.m_lastActivity = platform::clock().nowTicks();
    if (cp.m_state == Relaying)
        cp.*d.relayed += static_cast<std::uint64_t>(sent);
    cp.*d.txPos += sent;
    cp.*d.txLen -= sent;
    if (cp.*d.txLen > 0)
        return;
    cp.*d.txPos = 0;
    cp.*d.rxPos = 0;
    d.allSent(*this, cp);
}

// A large read whose bytes all went out at once most likely left more
// waiting: reading it in the same pass, a few times at most, spares whole
// passes of the loop over every pair for a busy one.
bool SocksProxyServer::readAgain(const ConnPair& cp, int received, const RelayDirection& d) const {
    if (cp.m_closing || cp.m_state != Relaying || received < static_cast<int>(kRelayBufferSize / 4))
        return false;
    return !(cp.*d.sending) && !(cp.*d.fromEnded);
}

void SocksProxyServer::relay(ConnPair& cp, const RelayDirection& d) {
    int received = receive(cp, d, false);
    for (int round = 1; round < kReadsPerReadiness && readAgain(cp, received, d); ++round)
        received = receive(cp, d, true);
}

void SocksProxyServer::sendToTarnwicket(ConnPair& cp) {
    send(cp, kTowardsTarnwicket);
}

void SocksProxyServer::sendToBrowser(ConnPair& cp) {
    send(cp, kTowardsBrowser);
}

void SocksProxyServer::recvFromTarnwicket(ConnPair& cp) {
    receive(cp, kTowardsBrowser, false);
}

void SocksProxyServer::relayFromBrowser(ConnPair& cp) {
    relay(cp, kTowardsTarnwicket);
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

void SocksProxyServer::handleTarnwicketReadable(ConnPair& cp) {
    if (cp.m_closing)
        return;
    if (cp.m_state == Relaying) {
        if (!cp.m_sendingToBrowser)
            relay(cp, kTowardsBrowser);
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
