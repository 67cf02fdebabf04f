// Opening the non-blocking connection to the gateway (on the loop thread).
// Every address of the gateway's name is tried in turn, those that failed
// lately last: the next one at once after a failure, or alongside the ones
// in flight when none has answered within the stagger delay. The first to
// connect carries the pair; the browser gets an error page only when every
// address has failed, for the last failure.
#include <algorithm>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "socks/gateway_resolution.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kConnectOp[] = "SocksProxyServer::connectToTarnwicket()";

// What an address's failure is called in the messages about it.
std::string failureReason(int error) {
    if (error == platform::kWsaEConnRefused)
        return "connection refused";
    if (error == platform::kWsaETimedOut)
        return "connection timed out";
    return "error code " + std::to_string(error) + " - " +
           systemErrorText(static_cast<std::uint32_t>(error));
}

}  // namespace

void SocksProxyServer::connectToTarnwicket(ConnPair& cp) {
    const std::int64_t now = platform::clock().nowTicks();
    cp.m_tarnwicketAddrs = m_gatewayHealth.order(cp.m_tarnwicketAddrs, now);
    cp.m_nextAddr = 0;
    cp.m_lastConnectFailure = {};
    startNextAttempts(cp);
}

AttemptResult SocksProxyServer::openAttempt(const platform::SockAddr& addr, platform::Socket& sock,
                                            int& error) {
    platform::Sockets& sockets = platform::sockets();
    error = addr.family == platform::kAfInet6 ? sockets.createTcp6(sock) : sockets.createTcp(sock);
    if (error != 0) {
        // Out of descriptors, every connection fails here: a user who holds
        // many connections could otherwise flood the log.
        static MessageRateLimit g_limit;
        (
            LogMessage(kConnectOp)
            << L", failed to create socket for connecting to tarnwicket, WSAGetLastError() = "
            << error)
            .log(g_limit);
        return AttemptResult::NoSocket;
    }
    if (const int rc = sockets.setNoDelay(sock)) {
        // Latency suffers, but the connection still works.
        (
            LogMessage(kConnectOp)
            << L", failed to set tarnwicket socket to TCP_NODELAY, WSAGetLastError() = " << rc)
            .log();
    }
    // Only how soon a silent address gives up depends on it.
    sockets.limitConnectTime(sock);
    if (const int rc = sockets.setNonBlocking(sock)) {
        (
            LogMessage(kConnectOp)
            << L", failed to set tarnwicket socket to non-blocking, WSAGetLastError() = " << rc)
            .log();
        platform::closeSocket(sock);
        return AttemptResult::NotNonBlocking;
    }
    error = sockets.connect(sock, addr);
    if (error == 0)
        return AttemptResult::Connected;
    if (error == platform::kWsaEWouldBlock)
        return AttemptResult::InProgress;
    platform::closeSocket(sock);
    return AttemptResult::Refused;
}

void SocksProxyServer::startNextAttempts(ConnPair& cp) {
    while (cp.m_nextAddr < cp.m_tarnwicketAddrs.size()) {
        const platform::SockAddr addr = cp.m_tarnwicketAddrs[cp.m_nextAddr++];
        platform::Socket sock = platform::kInvalidSocket;
        int error = 0;
        const AttemptResult result = openAttempt(addr, sock, error);
        const std::int64_t now = platform::clock().nowTicks();
        if (result == AttemptResult::Connected) {
            connectionMade(cp, sock, addr);
            return;
        }
        if (result == AttemptResult::InProgress) {
            cp.m_attempts.push_back(ConnectAttempt{sock, addr, now});
            cp.m_nextAttemptAt = now + m_connectStagger;
            cp.m_state = ConnectingToTarnwicket;
            return;
        }
        cp.m_lastConnectFailure = {result, error};
        if (result == AttemptResult::Refused)
            m_gatewayHealth.failed(addr, failureReason(error), now);
    }
    if (cp.m_attempts.empty())
        everyAttemptFailed(cp);
}

void SocksProxyServer::connectionMade(ConnPair& cp, platform::Socket sock,
                                      platform::SockAddr addr) {
    const std::int64_t now = platform::clock().nowTicks();
    m_gatewayHealth.answered(addr, now);
    // Those still in flight lost the race: an address that has not answered
    // within the stagger delay, while a later one has, is taken as failing.
    for (ConnectAttempt& other : cp.m_attempts) {
        if (other.sock == sock)
            continue;
        if (now - other.started >= m_connectStagger) {
            m_gatewayHealth.failed(
                other.addr,
                "no answer within " +
                    std::to_string(m_connectStagger * 1000 / platform::kTicksPerSecond) + " ms",
                now);
        }
        platform::closeSocket(other.sock);
    }
    cp.m_attempts.clear();
    cp.m_tarnwicketSock = sock;
    cp.m_state = ConnectedToTarnwicket;
    sendSocksGreeting(cp);
}

void SocksProxyServer::attemptWritable(ConnPair& cp, platform::Socket sock) {
    if (const ConnectAttempt* attempt = findAttempt(cp, sock))
        connectionMade(cp, sock, attempt->addr);
}

void SocksProxyServer::attemptFailed(ConnPair& cp, platform::Socket sock, int error) {
    ConnectAttempt* attempt = findAttempt(cp, sock);
    if (attempt == nullptr)
        return;  // closed earlier in this pass, with its pair's connection made
    const platform::SockAddr addr = attempt->addr;
    platform::closeSocket(attempt->sock);
    cp.m_attempts.erase(cp.m_attempts.begin() + (attempt - cp.m_attempts.data()));
    cp.m_lastConnectFailure = {AttemptResult::Refused, error};
    m_gatewayHealth.failed(addr, failureReason(error), platform::clock().nowTicks());
    // The next address at once, not after the stagger delay.
    startNextAttempts(cp);
}

void SocksProxyServer::everyAttemptFailed(ConnPair& cp) {
    const ConnectFailure failure = cp.m_lastConnectFailure;
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

void SocksProxyServer::advanceAttempts(ConnPair& cp, std::int64_t now) {
    if (cp.m_state != ConnectingToTarnwicket || cp.m_closing ||
        cp.m_nextAddr >= cp.m_tarnwicketAddrs.size() || cp.m_attempts.size() >= kMaxConnectAttempts)
        return;
    if (now >= cp.m_nextAttemptAt)
        startNextAttempts(cp);
    if (cp.m_state == ConnectingToTarnwicket && cp.m_nextAddr < cp.m_tarnwicketAddrs.size() &&
        (m_nextConnectTimer == 0 || cp.m_nextAttemptAt < m_nextConnectTimer))
        m_nextConnectTimer = cp.m_nextAttemptAt;
}

void SocksProxyServer::advanceConnectAttempts(std::int64_t now) {
    m_nextConnectTimer = 0;
    for (auto& owned : m_connPairs)
        advanceAttempts(*owned, now);
}
