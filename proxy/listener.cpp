// The proxy endpoint, accepting browser connections, their user-information
// workers, and the socket pair through which other threads wake the loop.
#include <memory>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/scope_exit.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "userinfo/socket_owner.h"
#include "userinfo/user_information.h"

namespace {

const char* const kAcceptOp = "SocksProxyServer::acceptNewConn()";
const char* const kWakeupPairOp = "SocksProxyServer::createWakeupSocketPair()";

platform::SockAddrIn loopbackAddress(std::uint16_t port) {
    platform::SockAddrIn addr;
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
    }
}

bool SocksProxyServer::acceptNewConn() {
    auto& sockets = platform::sockets();
    platform::SockAddrIn clientAddr;
    platform::Socket sock = platform::kInvalidSocket;
    int error = sockets.accept(m_listenSock, sock, &clientAddr);
    if (error != 0) {
        (LogMessage(kAcceptOp) << L", accept() returned error, WSAGetLastError() = " << error)
            .log();
        if (error == platform::kWsaENetDown || error == platform::kWsaENotSock)
            return false;
        m_acceptBackoff = nextBackoff(m_acceptBackoff);
        m_acceptResumeAt = std::chrono::steady_clock::now() + m_acceptBackoff;
        return true;
    }
    m_acceptBackoff = std::chrono::milliseconds(0);

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
        return true;
    }

    auto cp = std::make_unique<ConnPair>();
    cp->m_browserSock = sock;
    cp->m_clientAddr = clientAddr;
    const std::uint32_t pid = getClientSocketPID(m_listenAddr, cp->m_clientAddr);
    if (pid == 0)
        return true;  // the pair closes the browser socket, unanswered

    cp->m_pid = pid;
    cp->m_lastActivity = platform::clock().nowTicks();
    try {
        cp->m_userInfoThread = std::make_unique<UserInfoJob>(m_userInfoWorkers);
        ConnPair* pair = cp.get();
        cp->m_userInfoThread->begin([this, pair] { userInfoThreadFun(pair); });
    } catch (...) {
        // No thread to run the lookup on: this connection is closed
        // unanswered, the relay goes on serving the others.
        logCurrentException(kAcceptOp);
        return true;
    }
    m_connPairs.push_back(std::move(cp));
    return true;
}

void SocksProxyServer::userInfoThreadFun(ConnPair* cp) {
    try {
        if (resolveTarnwicketAddress(*cp) && m_userInformation != nullptr &&
            m_userInformation->getUserInfoFromPid(cp->m_pid, cp->m_userInfo)) {
            cp->m_userInfoFailed = false;
        }
    } catch (...) {
        logCurrentException("SocksProxyServer::userInfoThreadFun()");
    }
    // The last write to the pair: the loop may join and read it from now on.
    cp->m_userInfoDone.store(true, std::memory_order_release);
    wakeupSelect();
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

    platform::SockAddrIn addr = loopbackAddress(0);
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
