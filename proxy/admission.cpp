// Accepting browser connections: each becomes a pair whose owner lookup
// starts at once, on a worker unless the loop can answer it itself.
#include <memory>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"

namespace {

const char* const kAcceptOp = "SocksProxyServer::acceptNewConn()";

}  // namespace

bool SocksProxyServer::acceptNewConn(platform::Socket listener) {
    const int most = m_listener.nonBlocking(listener) ? kMaxAcceptsPerPass : 1;
    for (int i = 0; i < most; ++i) {
        const AcceptResult result = acceptOne(listener);
        if (result == AcceptResult::Fatal)
            return false;
        if (result != AcceptResult::Accepted)
            break;
    }
    return true;
}

SocksProxyServer::AcceptResult SocksProxyServer::acceptOne(platform::Socket listener) {
    // A local user can make accepts fail at will (by resetting connections,
    // by using up descriptors): logged at most once a second.
    static MessageRateLimit g_acceptLimit;
    auto& sockets = platform::sockets();
    platform::SockAddr clientAddr;
    platform::Socket sock = platform::kInvalidSocket;
    int error = sockets.accept(listener, sock, &clientAddr);
    if (error == platform::kWsaEWouldBlock)
        return AcceptResult::NothingWaiting;
    if (error != 0) {
        (LogMessage(kAcceptOp) << L", accept() returned error, WSAGetLastError() = " << error)
            .log(g_acceptLimit);
        if (error == platform::kWsaENetDown || error == platform::kWsaENotSock)
            return AcceptResult::Fatal;
        m_acceptBackoff = nextBackoff(m_acceptBackoff);
        m_acceptResumeAt = std::chrono::steady_clock::now() + m_acceptBackoff;
        return AcceptResult::Failed;
    }
    m_acceptBackoff = std::chrono::milliseconds(0);
    m_counters.accepted++;

    error = sockets.setNoDelay(sock);
    if (error != 0) {
        (LogMessage(kAcceptOp)
         << L", failed to set client socket to TCP_NODELAY, WSAGetLastError() = " << error)
            .log();
    }
    error = sockets.setNonBlocking(sock);
    if (error != 0) {
        (LogMessage(kAcceptOp)
         << L", failed to set client socket to non-blocking, WSAGetLastError() = " << error)
            .log();
        sockets.close(sock);
        return AcceptResult::Accepted;
    }
    admitBrowser(sock, clientAddr, m_listener.addressOf(listener));
    return AcceptResult::Accepted;
}

void SocksProxyServer::admitBrowser(platform::Socket sock, const platform::SockAddr& clientAddr,
                                    const platform::SockAddr& listenAddr) {
    auto cp = std::make_unique<ConnPair>();
    cp->m_browserSock = sock;
    cp->m_clientAddr = clientAddr;
    cp->m_lastActivity = platform::clock().nowTicks();
    // Who owns the socket is found on the lookup's thread, like the rest, so
    // that no lookup ever holds up the loop.
    auto lookup = std::make_shared<UserInfoLookup>();
    lookup->listenAddr = listenAddr;
    lookup->clientAddr = clientAddr;
    lookup->acceptTicks = cp->m_lastActivity;
    cp->m_lookup = lookup;
    // Admitted at the top of the next pass, before the loop waits again.
    if (m_lookupContext->answerAtOnce(*lookup)) {
        m_connPairs.push_back(std::move(cp));
        return;
    }
    try {
        cp->m_userInfoThread = std::make_unique<UserInfoJob>(m_userInfoWorkers);
        std::shared_ptr<LookupContext> context = m_lookupContext;
        cp->m_userInfoThread->begin([context, lookup] { context->run(*lookup); });
    } catch (...) {
        // No thread to run the lookup on: this connection is closed
        // unanswered, the relay goes on serving the others.
        static MessageRateLimit g_threadLimit;
        logCurrentException(kAcceptOp, g_threadLimit);
        return;
    }
    m_connPairs.push_back(std::move(cp));
}
