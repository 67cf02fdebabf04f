#include "proxy/wakeup_pair.h"

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"

namespace {

const char* const kWakeupPairOp = "SocksProxyServer::createWakeupSocketPair()";

void logFailure(const wchar_t* what, int error) {
    (LogMessage(kWakeupPairOp) << L", " << what << L", WSAGetLastError() = " << error).log();
}

}  // namespace

WakeupPair::WakeupPair() : m_buf(1024) {}

bool WakeupPair::listenForPair(platform::Socket listener, platform::SockAddr& addr) {
    auto& sockets = platform::sockets();
    addr = platform::SockAddr();
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    int error = sockets.setReuseAddr(listener);
    if (error != 0)
        logFailure(L"failed to set SO_REUSEADDR on wakeup listening socket", error);
    error = sockets.bind(listener, addr);
    if (error != 0) {
        logFailure(L"failed to bind wakeup listening socket", error);
        return false;
    }
    error = sockets.listen(listener, 1);
    if (error != 0) {
        logFailure(L"failed to listen on wakeup listening socket", error);
        return false;
    }
    error = sockets.getSockName(listener, addr);
    if (error != 0) {
        logFailure(L"failed to get name of wakeup listening socket", error);
        return false;
    }
    return true;
}

bool WakeupPair::connectPair(platform::Socket listener, const platform::SockAddr& addr,
                             platform::Socket& writerOut, platform::Socket& readerOut) {
    auto& sockets = platform::sockets();
    platform::UniqueSocket writer;
    int error = sockets.createTcp(*writer.out());
    if (error != 0) {
        logFailure(L"failed to create socket m_fds[0]", error);
        return false;
    }
    error = sockets.connect(writer.get(), addr);
    if (error != 0) {
        logFailure(L"failed to connect m_fds[0]", error);
        return false;
    }
    platform::UniqueSocket reader;
    error = sockets.accept(listener, *reader.out(), nullptr);
    if (error != 0) {
        logFailure(L"failed to accept connection", error);
        return false;
    }
    error = sockets.setNoDelay(writer.get());
    if (error != 0)
        logFailure(L"failed to set m_fds[0] socket to TCP_NODELAY", error);
    error = sockets.setNonBlocking(reader.get());
    if (error != 0) {
        logFailure(L"failed to set m_fds[1] socket to non-blocking", error);
        return false;
    }
    writerOut = writer.release();
    readerOut = reader.release();
    return true;
}

void WakeupPair::create() {
    platform::UniqueSocket listener;
    const int error = platform::sockets().createTcp(*listener.out());
    if (error != 0) {
        logFailure(L"failed to create wakeup socket pair listening socket", error);
        return;
    }
    platform::SockAddr addr;
    platform::Socket writer = platform::kInvalidSocket;
    platform::Socket reader = platform::kInvalidSocket;
    if (!listenForPair(listener.get(), addr) || !connectPair(listener.get(), addr, writer, reader))
        return;
    // Published only when complete, so that wake() on another thread never
    // sends on a half-made pair.
    m_failed.store(false);
    m_fds[1] = reader;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_fds[0] = writer;
}

void WakeupPair::wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_fds[0] == platform::kInvalidSocket)
        return;
    const std::uint8_t byte = 0;
    int sent = 0;
    const int error = platform::sockets().send(m_fds[0], &byte, 1, sent);
    if (error != 0 && error != platform::kWsaEWouldBlock) {
        (LogMessage("SocksProxyServer::wakeupSelect()")
         << L", send() to m_fds[0] returned an error, WSAGetLastError() = " << error)
            .log();
        m_failed.store(true);
    }
}

void WakeupPair::drain() {
    int received = 0;
    const int error =
        platform::sockets().recv(m_fds[1], m_buf.data(), static_cast<int>(m_buf.size()), received);
    if (error != 0) {
        (LogMessage("SocksProxyServer::recvFromWakeupSocketPair()")
         << L", recv() from m_fds[1] returned an error, WSAGetLastError() = " << error)
            .log();
        m_failed.store(true);
    } else if (received == 0) {
        (LogMessage("SocksProxyServer::recvFromWakeupSocketPair()")
         << L", m_fds[1] closed gracefully")
            .log();
        m_failed.store(true);
    }
}

void WakeupPair::close() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        platform::closeSocket(m_fds[0]);
    }
    platform::closeSocket(m_fds[1]);
}
