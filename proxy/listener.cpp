// The proxy endpoint, accepting browser connections, their user-information
// workers, and the socket pair through which other threads wake the loop.
#include <memory>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/scope_exit.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"

namespace {

const char* const kAcceptOp = "SocksProxyServer::acceptNewConn()";
const char* const kWakeupPairOp = "SocksProxyServer::createWakeupSocketPair()";

platform::SockAddr loopbackAddress(std::uint16_t port) {
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    addr.port = platform::hostToNet16(port);
    return addr;
}

}  // namespace

void SocksProxyServer::createListeningSocket() {
    auto& sockets = platform::sockets();
    platform::Socket sock = platform::kInvalidSocket;
    int error = sockets.createTcp(sock);
    if (error != 0) {
        (LogMessage() << L"failed to create listening sock, WSAGetLastError() = " << error).log();
        m_listenSock = platform::kInvalidSocket;
        return;
    }
    m_listenSock = sock;
    error = sockets.setReuseAddr(m_listenSock);
    if (error != 0) {
        (LogMessage() << L"failed to set listening socket to SO_REUSEADDR, WSAGetLastError() = "
                      << error)
            .log();
    }
    m_listenAddr = loopbackAddress(m_listenPort);
    error = sockets.bind(m_listenSock, m_listenAddr);
    if (error != 0) {
        (LogMessage() << L"failed to bind listening sock, WSAGetLastError() = " << error).log();
        platform::closeSocket(m_listenSock);
        return;
    }
    error = sockets.listen(m_listenSock, kListenBacklog);
    if (error != 0) {
        (LogMessage() << L"failed to listen on the listening sock, WSAGetLastError() = " << error)
            .log();
        platform::closeSocket(m_listenSock);
        return;
    }
    // The port as bound (ListenPort 0 lets the system choose): the owner
    // lookup asks for connections to it.
    platform::SockAddr bound;
    if (sockets.getSockName(m_listenSock, bound) == 0)
        m_listenAddr = bound;
    error = sockets.setNonBlocking(m_listenSock);
    m_listenNonBlocking = error == 0;
    if (error != 0) {
        (LogMessage() << L"failed to set listening socket to non-blocking, WSAGetLastError() = "
                      << error)
            .log();
    }
}

namespace {

// The errors that say this machine has no IPv6 to listen on.
bool noIpv6(int error) {
    return error == platform::kWsaEAfNoSupport || error == platform::kWsaEAddrNotAvail ||
           error == platform::kWsaEProtoNoSupport;
}

}  // namespace

void SocksProxyServer::createListeningSocket6() {
    // Browsers and tools that resolve "localhost" to ::1 first find the
    // relay there too. Only IPv6 connections come here: IPv4 stays with the
    // IPv4 listener, as it always has.
    auto& sockets = platform::sockets();
    m_listenAddr6 = platform::SockAddr();
    m_listenAddr6.family = platform::kAfInet6;
    m_listenAddr6.addr6 = platform::loopbackAddr6();
    m_listenAddr6.port = m_listenAddr.port;
    int error = sockets.createTcp6(m_listenSock6);
    if (error == 0)
        error = sockets.setV6Only(m_listenSock6);
    if (error == 0)
        error = sockets.bind(m_listenSock6, m_listenAddr6);
    if (error == 0)
        error = sockets.listen(m_listenSock6, kListenBacklog);
    if (error == 0)
        error = sockets.setNonBlocking(m_listenSock6);
    if (error == 0)
        return;
    platform::closeSocket(m_listenSock6);
    if (noIpv6(error)) {
        (LogMessage() << L"no IPv6 on this machine (WSAGetLastError() = " << error
                      << L"), listening on 127.0.0.1 only")
            .log(kEventTypeInformation);
    } else {
        (LogMessage() << L"failed to listen on [::1], WSAGetLastError() = " << error
                      << L", listening on 127.0.0.1 only")
            .log();
    }
}

bool SocksProxyServer::acceptNewConn(platform::Socket listener) {
    const bool nonBlocking = listener == m_listenSock6 || m_listenNonBlocking;
    const int most = nonBlocking ? kMaxAcceptsPerPass : 1;
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
    admitBrowser(sock, clientAddr, listener == m_listenSock6 ? m_listenAddr6 : m_listenAddr);
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

void SocksProxyServer::createWakeupSocketPair() {
    auto& sockets = platform::sockets();
    platform::Socket listener = platform::kInvalidSocket;
    int error = sockets.createTcp(listener);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to create wakeup socket pair listening socket, WSAGetLastError() = "
         << error)
            .log();
        return;
    }
    ScopeExit closeListener([&] { platform::closeSocket(listener); });

    platform::SockAddr addr = loopbackAddress(0);
    error = sockets.setReuseAddr(listener);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to set SO_REUSEADDR on wakeup listening socket, WSAGetLastError() = "
         << error)
            .log();
    }
    error = sockets.bind(listener, addr);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to bind wakeup listening socket, WSAGetLastError() = " << error)
            .log();
        return;
    }
    error = sockets.listen(listener, 1);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to listen on wakeup listening socket, WSAGetLastError() = " << error)
            .log();
        return;
    }
    error = sockets.getSockName(listener, addr);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to get name of wakeup listening socket, WSAGetLastError() = " << error)
            .log();
        return;
    }

    // Built in locals and published only when complete, so that
    // wakeupSelect on another thread never sends on a half-made pair.
    platform::Socket writer = platform::kInvalidSocket;
    error = sockets.createTcp(writer);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to create socket m_fds[0], WSAGetLastError() = " << error)
            .log();
        return;
    }
    error = sockets.connect(writer, addr);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to connect m_fds[0], WSAGetLastError() = " << error)
            .log();
        platform::closeSocket(writer);
        return;
    }
    platform::Socket reader = platform::kInvalidSocket;
    error = sockets.accept(listener, reader, nullptr);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to accept connection, WSAGetLastError() = " << error)
            .log();
        platform::closeSocket(writer);
        platform::closeSocket(reader);
        return;
    }
    error = sockets.setNoDelay(writer);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to set m_fds[0] socket to TCP_NODELAY, WSAGetLastError() = " << error)
            .log();
    }
    error = sockets.setNonBlocking(reader);
    if (error != 0) {
        (LogMessage(kWakeupPairOp)
         << L", failed to set m_fds[1] socket to non-blocking, WSAGetLastError() = " << error)
            .log();
        platform::closeSocket(writer);
        platform::closeSocket(reader);
        return;
    }
    m_fds[1] = reader;
    std::lock_guard<std::mutex> lock(m_wakeupMutex);
    m_fds[0] = writer;
}

void SocksProxyServer::wakeupSelect() {
    std::lock_guard<std::mutex> lock(m_wakeupMutex);
    if (m_fds[0] == platform::kInvalidSocket)
        return;
    const std::uint8_t byte = 0;
    int sent = 0;
    const int error = platform::sockets().send(m_fds[0], &byte, 1, sent);
    if (error != 0 && error != platform::kWsaEWouldBlock) {
        (LogMessage("SocksProxyServer::wakeupSelect()")
         << L", send() to m_fds[0] returned an error, WSAGetLastError() = " << error)
            .log();
        m_wakeupFailed.exchange(true);
    }
}

void SocksProxyServer::recvFromWakeupSocketPair() {
    int received = 0;
    const int error = platform::sockets().recv(m_fds[1], m_wakeupBuf.data(),
                                               static_cast<int>(m_wakeupBuf.size()), received);
    if (error != 0) {
        (LogMessage("SocksProxyServer::recvFromWakeupSocketPair()")
         << L", recv() from m_fds[1] returned an error, WSAGetLastError() = " << error)
            .log();
        m_wakeupFailed.exchange(true);
    } else if (received == 0) {
        (LogMessage("SocksProxyServer::recvFromWakeupSocketPair()")
         << L", m_fds[1] closed gracefully")
            .log();
        m_wakeupFailed.exchange(true);
    }
}

void SocksProxyServer::closeWakeupPair() {
    {
        std::lock_guard<std::mutex> lock(m_wakeupMutex);
        platform::closeSocket(m_fds[0]);
    }
    platform::closeSocket(m_fds[1]);
}
