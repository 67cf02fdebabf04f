#include "socks/gateway_dialer.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/platform.h"
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

int createSocket(const platform::SockAddr& addr, platform::Socket& sock) {
    platform::Sockets& sockets = platform::sockets();
    const int error =
        addr.family == platform::kAfInet6 ? sockets.createTcp6(sock) : sockets.createTcp(sock);
    if (error != 0) {
        // Out of descriptors, every connection fails here: a user who holds
        // many connections could otherwise flood the log.
        static MessageRateLimit g_limit;
        (
            LogMessage(kConnectOp)
            << L", failed to create socket for connecting to tarnwicket, WSAGetLastError() = "
            << error)
            .log(g_limit);
    }
    return error;
}

// The options of a socket to the gateway; false when it cannot be made
// non-blocking (then it is closed).
bool prepareSocket(platform::Socket& sock) {
    platform::Sockets& sockets = platform::sockets();
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
        return false;
    }
    return true;
}

AttemptResult openAttempt(const platform::SockAddr& addr, platform::Socket& sock, int& error) {
    error = createSocket(addr, sock);
    if (error != 0)
        return AttemptResult::NoSocket;
    if (!prepareSocket(sock))
        return AttemptResult::NotNonBlocking;
    error = platform::sockets().connect(sock, addr);
    if (error == 0)
        return AttemptResult::Connected;
    if (error == platform::kWsaEWouldBlock)
        return AttemptResult::InProgress;
    platform::closeSocket(sock);
    return AttemptResult::Refused;
}

}  // namespace

GatewayDialer::Progress GatewayDialer::start(const std::vector<platform::SockAddr>& addresses,
                                             GatewayHealth& health, std::int64_t stagger,
                                             std::int64_t now) {
    closeAttempts();
    m_health = &health;
    m_stagger = stagger;
    m_addresses = health.order(addresses, now);
    m_next = 0;
    m_lastFailure = ConnectFailure();
    return startNext(now);
}

GatewayDialer::Progress GatewayDialer::startNext(std::int64_t now) {
    while (m_next < m_addresses.size()) {
        const platform::SockAddr addr = m_addresses[m_next++];
        platform::Socket sock = platform::kInvalidSocket;
        int error = 0;
        const AttemptResult result = openAttempt(addr, sock, error);
        if (result == AttemptResult::Connected)
            return made(sock, addr, now);
        if (result == AttemptResult::InProgress) {
            m_attempts.push_back(ConnectAttempt{sock, addr, now});
            m_nextAttemptAt = now + m_stagger;
            return Progress::InFlight;
        }
        m_lastFailure = {result, error};
        if (result == AttemptResult::Refused)
            noteFailure(addr, failureReason(error), now);
    }
    return m_attempts.empty() ? Progress::Failed : Progress::InFlight;
}

GatewayDialer::Progress GatewayDialer::made(platform::Socket sock, platform::SockAddr addr,
                                            std::int64_t now) {
    if (m_health != nullptr)
        m_health->answered(addr, now);
    // Those still in flight lost the race: an address that has not answered
    // within the stagger delay, while a later one has, is taken as failing.
    for (ConnectAttempt& other : m_attempts) {
        if (other.sock == sock)
            continue;
        if (now - other.started >= m_stagger) {
            noteFailure(other.addr,
                        "no answer within " +
                            std::to_string(m_stagger * 1000 / platform::kTicksPerSecond) + " ms",
                        now);
        }
        platform::closeSocket(other.sock);
    }
    m_attempts.clear();
    m_connected = sock;
    return Progress::Connected;
}

GatewayDialer::Progress GatewayDialer::writable(platform::Socket sock, std::int64_t now) {
    for (const ConnectAttempt& attempt : m_attempts) {
        if (attempt.sock == sock)
            return made(sock, attempt.addr, now);
    }
    return Progress::InFlight;
}

GatewayDialer::Progress GatewayDialer::failed(platform::Socket sock, int error, std::int64_t now) {
    const auto attempt = std::find_if(m_attempts.begin(), m_attempts.end(),
                                      [sock](const ConnectAttempt& a) { return a.sock == sock; });
    if (attempt == m_attempts.end())
        return Progress::InFlight;
    const platform::SockAddr addr = attempt->addr;
    platform::closeSocket(attempt->sock);
    m_attempts.erase(attempt);
    m_lastFailure = {AttemptResult::Refused, error};
    noteFailure(addr, failureReason(error), now);
    // The next address at once, not after the stagger delay.
    return startNext(now);
}

GatewayDialer::Progress GatewayDialer::advance(std::int64_t now) {
    if (nextAttemptAt() == 0 || now < m_nextAttemptAt || m_attempts.size() >= kMaxConnectAttempts)
        return Progress::InFlight;
    return startNext(now);
}

void GatewayDialer::noteFailure(const platform::SockAddr& addr, const std::string& reason,
                                std::int64_t now) {
    if (m_health != nullptr)
        m_health->failed(addr, reason, now);
}

platform::Socket GatewayDialer::takeConnected() {
    return std::exchange(m_connected, platform::kInvalidSocket);
}

bool GatewayDialer::hasAttempt(platform::Socket sock) const {
    return std::any_of(m_attempts.begin(), m_attempts.end(),
                       [sock](const ConnectAttempt& a) { return a.sock == sock; });
}

std::int64_t GatewayDialer::nextAttemptAt() const {
    return m_attempts.empty() || m_next >= m_addresses.size() ? 0 : m_nextAttemptAt;
}

void GatewayDialer::closeAttempts() {
    for (ConnectAttempt& attempt : m_attempts)
        platform::closeSocket(attempt.sock);
    m_attempts.clear();
    platform::closeSocket(m_connected);
}
