// Opening one connection's socket to the gateway. Every address of the
// gateway's name is tried in turn, those that failed lately last: the next
// one at once after a failure, or alongside the ones in flight when none has
// answered within the stagger delay. The first to connect carries the
// connection; the others are closed. Used on the loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"
#include "socks/gateway_health.h"

// How an attempt on one gateway address ended, or got on.
enum class AttemptResult { Connected, InProgress, Refused, NoSocket, NotNonBlocking };

// The failure of the last attempt: what the browser is told when all failed.
struct ConnectFailure {
    AttemptResult result = AttemptResult::Refused;
    int error = 0;
};

// One connect to one of the gateway's addresses.
struct ConnectAttempt {
    platform::Socket sock = platform::kInvalidSocket;
    platform::SockAddr addr;
    std::int64_t started = 0;  // ticks
};

// Attempts one connection keeps in flight at most: enough to get past a few
// silent gateway addresses, few enough for the select sets.
constexpr std::size_t kMaxConnectAttempts = 4;

class GatewayDialer {
public:
    enum class Progress { InFlight, Connected, Failed };

    GatewayDialer() = default;
    ~GatewayDialer() { closeAttempts(); }
    GatewayDialer(const GatewayDialer&) = delete;
    GatewayDialer& operator=(const GatewayDialer&) = delete;

    // Starts on `addresses` in the order `health` gives them; `stagger` in
    // ticks.
    Progress start(const std::vector<platform::SockAddr>& addresses, GatewayHealth& health,
                   std::int64_t stagger, std::int64_t now);
    // What the loop saw of one attempt's socket. A socket that is no attempt
    // (any more) changes nothing.
    Progress writable(platform::Socket sock, std::int64_t now);
    Progress failed(platform::Socket sock, int error, std::int64_t now);
    // Starts the next attempt alongside when the stagger delay is up.
    Progress advance(std::int64_t now);

    // The connected socket, which the caller now owns.
    platform::Socket takeConnected();
    const ConnectFailure& lastFailure() const { return m_lastFailure; }
    const std::vector<ConnectAttempt>& attempts() const { return m_attempts; }
    bool hasAttempt(platform::Socket sock) const;
    // When the next attempt starts unless one answers first; 0 for never.
    std::int64_t nextAttemptAt() const;
    void closeAttempts();

    // For tests: attempts in flight as the loop would have made them.
    std::vector<ConnectAttempt>& attemptsForTest() { return m_attempts; }

private:
    Progress startNext(std::int64_t now);
    Progress made(platform::Socket sock, platform::SockAddr addr, std::int64_t now);
    void noteFailure(const platform::SockAddr& addr, const std::string& reason, std::int64_t now);

    // Null until started (tests may hand in attempts without it).
    GatewayHealth* m_health = nullptr;
    std::int64_t m_stagger = 0;
    std::vector<platform::SockAddr> m_addresses;
    std::size_t m_next = 0;
    std::vector<ConnectAttempt> m_attempts;
    std::int64_t m_nextAttemptAt = 0;
    ConnectFailure m_lastFailure;
    platform::Socket m_connected = platform::kInvalidSocket;
};
