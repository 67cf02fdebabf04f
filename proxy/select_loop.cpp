// The relay's only event loop: one thread drives every pair through its
// states, waiting in select over all of their sockets.
#include <algorithm>
#include <cmath>
#include <map>

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"

namespace {

constexpr long kLongWaitMicros = 5000000;
constexpr long kShortWaitMicros = 500000;

}  // namespace

void SocksProxyServer::selectLoop() {
    // Released however the loop ends.
    struct SetsHeld {
        SelectSets& sets;
        ~SetsHeld() { sets.release(); }
    } held{m_sets};
    m_sets.allocate();
    while (!m_stop.load()) {
        admitFinishedLookups();
        removeClosedPairs();
        retireFailedWakeupPair();
        enforcePairLimit();
        applyIdleLimits();
        publishStatus();
        advanceConnectAttempts(platform::clock().nowTicks());
        buildSelectLists();
        const int ready = waitForReadySockets();
        if (ready > 0 && !serveReadySockets(ready))
            return;
    }
}

void SocksProxyServer::takeLookupResult(ConnPair& cp) {
    UserInfoLookup& lookup = *cp.m_lookup;
    cp.m_sessionKnown = lookup.sessionKnown;
    cp.m_sessionId = lookup.session;
    cp.m_userInfo = std::move(lookup.userInfo);
    cp.m_tarnwicketAddrs = std::move(lookup.gateway.addresses);
    cp.m_errorText = std::move(lookup.gateway.errorText);
    cp.m_userInfoFailed = lookup.failed;
    if (lookup.ownerNotFound)
        m_counters.ownersNotFound++;
    cp.m_userInfoThread.reset();
    cp.m_lookup.reset();
}

void SocksProxyServer::admitFinishedLookups() {
    for (auto& owned : m_connPairs) {
        ConnPair& cp = *owned;
        if (cp.m_state != WaitingForUserInfo || !cp.m_lookup)
            continue;
        if (!cp.m_lookup->done.load(std::memory_order_acquire))
            continue;
        takeLookupResult(cp);
        if (!cp.m_userInfoFailed) {
            connectToTarnwicket(cp);
        } else if (!cp.m_errorText.empty()) {
            sendErrorPage(cp, BadGateway, cp.m_errorText);
        } else {
            cp.m_closing = true;  // no user: closed without a reply
        }
    }
}

void SocksProxyServer::removeClosedPairs() {
    m_connPairs.erase(
        std::remove_if(m_connPairs.begin(), m_connPairs.end(),
                       [](const std::unique_ptr<ConnPair>& cp) { return cp->m_closing; }),
        m_connPairs.end());
}

void SocksProxyServer::retireFailedWakeupPair() {
    if (m_wakeup.exists() && m_wakeup.failed())
        m_wakeup.close();
}

namespace {

// The pairs of one owner (or of all owners not known yet), least recently
// active first.
using OwnerGroup = std::vector<ConnPair*>;

std::vector<OwnerGroup> groupByOwner(const std::vector<std::unique_ptr<ConnPair>>& pairs) {
    std::map<std::uint32_t, OwnerGroup> known;
    OwnerGroup unknown;
    for (const auto& cp : pairs) {
        if (cp->m_sessionKnown) {
            known[cp->m_sessionId].push_back(cp.get());
        } else {
            unknown.push_back(cp.get());
        }
    }
    std::vector<OwnerGroup> groups;
    groups.reserve(known.size() + 1);
    for (auto& entry : known)
        groups.push_back(std::move(entry.second));
    if (!unknown.empty())
        groups.push_back(std::move(unknown));
    for (OwnerGroup& group : groups) {
        std::stable_sort(group.begin(), group.end(), [](const ConnPair* a, const ConnPair* b) {
            return a->m_lastActivity < b->m_lastActivity;
        });
    }
    return groups;
}

// Marks `excess` pairs for pruning, each time the least recently active pair
// of the owner that holds the most; so an owner at or below an equal share
// loses nothing while another is above it.
void markForPruning(std::vector<OwnerGroup>& groups, std::size_t excess) {
    std::vector<std::size_t> pruned(groups.size(), 0);
    auto left = [&](std::size_t i) { return groups[i].size() - pruned[i]; };
    for (; excess > 0; --excess) {
        std::size_t largest = 0;
        for (std::size_t i = 1; i < groups.size(); ++i) {
            if (left(i) > left(largest))
                largest = i;
        }
        groups[largest][pruned[largest]++]->m_closing = true;
    }
}

}  // namespace

void SocksProxyServer::enforcePairLimit() {
    // One user opening connections without end could otherwise flood the log.
    static MessageRateLimit g_limit;
    const std::size_t count = m_connPairs.size();
    if (count <= kMaxConnPairs)
        return;
    std::vector<OwnerGroup> groups = groupByOwner(m_connPairs);
    markForPruning(groups, count - kMaxConnPairs);
    removeClosedPairs();
    m_counters.pairsPruned += count - m_connPairs.size();
    (LogMessage("SocksProxyServer::selectLoop()")
     << L", too many ConnPairs, reduced from " << count << L" to " << m_connPairs.size())
        .log(g_limit);
}

double SocksProxyServer::idleSeconds(const ConnPair& cp, std::int64_t now) const {
    return static_cast<double>(now - cp.m_lastActivity) /
           static_cast<double>(platform::kTicksPerSecond);
}

void SocksProxyServer::applyIdleLimits() {
    const double negotiationLimit = m_negotiationTimeout;
    const double socketLimit = m_params.socketTimeout;
    // One reading of the clock for the pass: thousands of pairs would
    // otherwise cost thousands of readings, for microseconds of difference.
    const std::int64_t now = platform::clock().nowTicks();
    for (auto& owned : m_connPairs) {
        ConnPair& cp = *owned;
        const double idle = idleSeconds(cp, now);
        if (negotiating(cp.m_state)) {
            if (idle > negotiationLimit) {
                logEvent(L"SOCKS negotation with Tarnwicket timed out", kEventTypeError);
                sendErrorPage(cp, GatewayTimeout, "Proxy negotiation timed out");
            }
        } else if (idle > socketLimit) {
            cp.m_closing = true;
        }
    }
}

bool SocksProxyServer::acceptBackingOff() const {
    return m_acceptBackoff.count() > 0 && std::chrono::steady_clock::now() < m_acceptResumeAt;
}

namespace {

// Relayed bytes wait in the buffer while the browser takes them; reply bytes
// pile up until their handler consumes them. A buffer with no room left is
// not read into: reading again would get nowhere, and a gateway that floods
// the negotiation then waits for the negotiation limit instead of spinning
// the loop.
bool gatewayReadable(const ConnPair& cp) {
    if (cp.m_sendingToBrowser || cp.m_tarnwicketEnded ||
        cp.m_tarnwicketSock == platform::kInvalidSocket)
        return false;
    // After an error page the gateway's bytes are read and dropped.
    return cp.m_state == SendingErrorPage ||
           cp.m_sb_rx_pos < static_cast<std::int32_t>(cp.m_sb_buf.size());
}

bool browserReadable(const ConnPair& cp) {
    return !cp.m_sendingToTarnwicket && !cp.m_browserEnded &&
           cp.m_browserSock != platform::kInvalidSocket;
}

}  // namespace

void SocksProxyServer::buildSelectLists() {
    m_sets.clearLists();
    const platform::Socket invalid = platform::kInvalidSocket;
    if (m_wakeup.readSocket() != invalid)
        m_sets.watch(SelectSets::Read, m_wakeup.readSocket(), nullptr);
    // One walk over the pairs fills the three lists, each in pair order.
    for (auto& owned : m_connPairs) {
        ConnPair* cp = owned.get();
        if (cp->m_state == WaitingForUserInfo)
            continue;
        if (browserReadable(*cp))
            m_sets.watch(SelectSets::Read, cp->m_browserSock, cp);
        if (gatewayReadable(*cp))
            m_sets.watch(SelectSets::Read, cp->m_tarnwicketSock, cp);
        if (cp->m_tarnwicketSock != invalid && cp->m_sendingToTarnwicket && cp->m_bs_tx_len > 0)
            m_sets.watch(SelectSets::Write, cp->m_tarnwicketSock, cp);
        if (cp->m_sendingToBrowser && cp->m_browserSock != invalid && cp->m_sb_tx_len > 0)
            m_sets.watch(SelectSets::Write, cp->m_browserSock, cp);
        // A connect ends writable when it is made, in the except set when
        // it failed.
        for (const ConnectAttempt& attempt : cp->m_dialer.attempts()) {
            m_sets.watch(SelectSets::Write, attempt.sock, cp);
            m_sets.watch(SelectSets::Except, attempt.sock, cp);
        }
    }
    // Left out for a while after a failed accept.
    if (!acceptBackingOff()) {
        m_sets.watch(SelectSets::Read, m_listener.sock(), nullptr);
        if (m_listener.sock6() != invalid)
            m_sets.watch(SelectSets::Read, m_listener.sock6(), nullptr);
    }
    m_sets.fill();
}

long SocksProxyServer::waitLimitMicros() const {
    long limit = m_wakeup.exists() ? kLongWaitMicros : kShortWaitMicros;
    if (m_nextConnectTimer != 0) {
        // Awake in time to start the next connect attempt.
        const std::int64_t left = m_nextConnectTimer - platform::clock().nowTicks();
        limit = std::min<long>(limit, static_cast<long>(std::max<std::int64_t>(left / 10, 1)));
    }
    if (acceptBackingOff()) {
        // Wake up in time to watch the listening socket again.
        const auto left = std::chrono::ceil<std::chrono::microseconds>(
            m_acceptResumeAt - std::chrono::steady_clock::now());
        limit = std::min<long>(limit, std::max<long>(static_cast<long>(left.count()), 1));
    }
    return limit;
}

std::chrono::milliseconds SocksProxyServer::nextBackoff(std::chrono::milliseconds current) const {
    if (current.count() == 0)
        return m_backoffMin;
    return std::min(current * 2, m_backoffMax);
}

int SocksProxyServer::waitForReadySockets() {
    const long timeout = waitLimitMicros();
    if (m_sets.empty()) {
        // Nothing to watch (accepting paused, no wakeup pair): select would
        // refuse empty sets, so just let the time pass.
        pauseLoop(std::chrono::ceil<std::chrono::milliseconds>(std::chrono::microseconds(timeout)));
        return 0;
    }
    int ready = 0;
    const int error = m_sets.wait(timeout, ready);
    if (error != 0) {
        (LogMessage() << L"select() returned SOCKET_ERROR, WSAGetLastError() = " << error).log();
        m_selectBackoff = nextBackoff(m_selectBackoff);
        pauseLoop(m_selectBackoff);
        return -1;
    }
    m_selectBackoff = std::chrono::milliseconds(0);
    return ready;
}

bool SocksProxyServer::serveReadySockets(int ready) {
    ServeCount count{ready};
    if (!serveReadable(count))
        return false;
    if (!count.done())
        serveWritable(count);
    if (!count.done())
        serveExceptional(count);
    return true;
}

bool SocksProxyServer::serveReadable(ServeCount& count) {
    for (const SocketEntry& entry : m_sets.list(SelectSets::Read)) {
        if (!m_sets.ready(SelectSets::Read, entry.sock))
            continue;
        count.served++;
        if (entry.pair != nullptr) {
            serveReadableOfPair(*entry.pair, entry.sock);
        } else if (m_listener.isListening(entry.sock)) {
            if (!acceptNewConn(entry.sock))
                return false;
        } else if (entry.sock == m_wakeup.readSocket()) {
            recvFromWakeupSocketPair();
        }
        if (count.done())
            return true;
    }
    return true;
}

void SocksProxyServer::serveReadableOfPair(ConnPair& cp, platform::Socket sock) {
    if (sock == cp.m_browserSock) {
        if (!cp.m_closing && (cp.m_state == Relaying || cp.m_state == SendingErrorPage) &&
            !cp.m_sendingToTarnwicket) {
            relayFromBrowser(cp);
        }
    } else if (sock == cp.m_tarnwicketSock) {
        handleTarnwicketReadable(cp);
    }
}

void SocksProxyServer::serveWritable(ServeCount& count) {
    for (const SocketEntry& entry : m_sets.list(SelectSets::Write)) {
        if (!m_sets.ready(SelectSets::Write, entry.sock))
            continue;
        count.served++;
        if (!entry.pair->m_closing)
            serveWritableOfPair(*entry.pair, entry.sock);
        if (count.done())
            return;
    }
}

void SocksProxyServer::serveWritableOfPair(ConnPair& cp, platform::Socket sock) {
    if (sock == cp.m_browserSock) {
        if ((cp.m_state == Relaying || cp.m_state == SendingErrorPage) && cp.m_sendingToBrowser)
            sendToBrowser(cp);
    } else if (sock == cp.m_tarnwicketSock) {
        if (cp.m_state != Relaying || cp.m_sendingToTarnwicket)
            sendToTarnwicket(cp);
    } else if (cp.m_state == ConnectingToTarnwicket) {
        attemptWritable(cp, sock);
    }
}

void SocksProxyServer::serveExceptional(ServeCount& count) {
    for (const SocketEntry& entry : m_sets.list(SelectSets::Except)) {
        if (!m_sets.ready(SelectSets::Except, entry.sock))
            continue;
        count.served++;
        // An attempt that lost to another in the write pass is closed already.
        if (entry.pair->m_dialer.hasAttempt(entry.sock)) {
            int pending = 0;
            const int error = platform::sockets().getSocketError(entry.sock, pending);
            if (error != 0) {
                (LogMessage() << L"Could not fetch socket error code (SO_ERROR): " << error).log();
                pending = 0;
            }
            attemptFailed(*entry.pair, entry.sock, pending);
        }
        if (count.done())
            return;
    }
}
