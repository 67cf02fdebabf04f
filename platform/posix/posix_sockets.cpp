#include "platform/posix/posix_sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"

namespace platform {
namespace {

int fdOf(Socket s) {
    return static_cast<int>(s);
}

int lastSocketError() {
    return wsaErrorFromErrno(errno);
}

sockaddr_in toSockaddr(const SockAddrIn& addr) {
    sockaddr_in sa{};
    sa.sin_family = addr.family == kAfInet ? AF_INET : static_cast<sa_family_t>(addr.family);
    sa.sin_port = addr.port;
    sa.sin_addr.s_addr = addr.addr;
    return sa;
}

SockAddrIn fromSockaddr(const sockaddr_in& sa) {
    SockAddrIn addr;
    addr.family = sa.sin_family == AF_INET ? kAfInet : static_cast<std::uint16_t>(sa.sin_family);
    addr.port = sa.sin_port;
    addr.addr = sa.sin_addr.s_addr;
    return addr;
}

int setIntOption(Socket s, int level, int option, int value) {
    if (::setsockopt(fdOf(s), level, option, &value, sizeof value) != 0)
        return lastSocketError();
    return 0;
}

// Readiness as select() reports it, from one poll() entry.
bool readable(short revents) {
    return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}
bool writable(short revents) {
    return (revents & (POLLOUT | POLLERR)) != 0;
}
bool exceptional(short revents) {
    return (revents & POLLPRI) != 0;
}
bool connectFailed(short revents) {
    return (revents & (POLLERR | POLLHUP)) != 0;
}

struct PollRequest {
    SocketSet* set;
    short events;
    bool (*ready)(short revents);
};

// poll() with an overall limit, resumed after interruptions; a negative
// limit waits without end.
int pollFor(std::vector<pollfd>& fds, long timeoutMicros) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::microseconds(timeoutMicros);
    for (;;) {
        timespec limit{};
        timespec* limitPtr = nullptr;
        if (timeoutMicros >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
            const long long ns = left.count() > 0 ? left.count() : 0;
            limit.tv_sec = static_cast<time_t>(ns / 1000000000);
            limit.tv_nsec = static_cast<long>(ns % 1000000000);
            limitPtr = &limit;
        }
        const int n = ::ppoll(fds.data(), fds.size(), limitPtr, nullptr);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

}  // namespace

int PosixSockets::startup() {
    return 0;
}

int PosixSockets::cleanup() {
    return 0;
}

int PosixSockets::createTcp(Socket& out) {
    out = kInvalidSocket;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lastSocketError();
    out = static_cast<Socket>(fd);
    return 0;
}

int PosixSockets::setReuseAddr(Socket s) {
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

int PosixSockets::setNoDelay(Socket s) {
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

int PosixSockets::setNonBlocking(Socket s) {
    const int flags = ::fcntl(fdOf(s), F_GETFL);
    if (flags < 0 || ::fcntl(fdOf(s), F_SETFL, flags | O_NONBLOCK) != 0)
        return lastSocketError();
    return 0;
}

int PosixSockets::bind(Socket s, const SockAddrIn& addr) {
    const sockaddr_in sa = toSockaddr(addr);
    if (::bind(fdOf(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        return lastSocketError();
    }
    return 0;
}

int PosixSockets::listen(Socket s, int backlog) {
    if (::listen(fdOf(s), backlog) != 0)
        return lastSocketError();
    return 0;
}

int PosixSockets::accept(Socket s, Socket& out, SockAddrIn* peer) {
    out = kInvalidSocket;
    // As with Winsock, an accepted socket inherits the listener's mode.
    const int listenFlags = ::fcntl(fdOf(s), F_GETFL);
    int acceptFlags = SOCK_CLOEXEC;
    if (listenFlags >= 0 && (listenFlags & O_NONBLOCK) != 0)
        acceptFlags |= SOCK_NONBLOCK;

    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    int fd;
    do {
        fd = ::accept4(fdOf(s), reinterpret_cast<sockaddr*>(&sa), &len, acceptFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return lastSocketError();
    out = static_cast<Socket>(fd);
    if (peer != nullptr)
        *peer = fromSockaddr(sa);
    return 0;
}

int PosixSockets::connect(Socket s, const SockAddrIn& addr) {
    const sockaddr_in sa = toSockaddr(addr);
    const int rc = ::connect(fdOf(s), reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    const int err = rc == 0 ? 0 : errno;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (err == EINPROGRESS) {
        m_connecting.insert(s);
    } else {
        m_connecting.erase(s);
    }
    return err == 0 ? 0 : wsaErrorFromErrno(err);
}

int PosixSockets::getSockName(Socket s, SockAddrIn& out) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fdOf(s), reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        return lastSocketError();
    }
    out = fromSockaddr(sa);
    return 0;
}

int PosixSockets::getSocketError(Socket s, int& pending) {
    pending = 0;
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fdOf(s), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return lastSocketError();
    pending = err == 0 ? 0 : wsaErrorFromErrno(err);
    return 0;
}

int PosixSockets::send(Socket s, const std::uint8_t* data, int len, int& sent) {
    sent = 0;
    ssize_t n;
    do {
        n = ::send(fdOf(s), data, static_cast<std::size_t>(len), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return lastSocketError();
    sent = static_cast<int>(n);
    return 0;
}

int PosixSockets::recv(Socket s, std::uint8_t* data, int len, int& received) {
    received = 0;
    ssize_t n;
    do {
        n = ::recv(fdOf(s), data, static_cast<std::size_t>(len), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return lastSocketError();
    received = static_cast<int>(n);
    return 0;
}

int PosixSockets::shutdownSend(Socket s) {
    if (::shutdown(fdOf(s), SHUT_WR) != 0)
        return lastSocketError();
    return 0;
}

int PosixSockets::close(Socket s) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_connecting.erase(s);
    }
    // On Linux the descriptor is released even when close() is interrupted.
    if (::close(fdOf(s)) != 0 && errno != EINTR)
        return lastSocketError();
    return 0;
}

int PosixSockets::select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
                         int& ready) {
    ready = 0;
    const PollRequest requests[] = {
        {read, POLLIN, readable},
        {write, POLLOUT, writable},
        {except, POLLPRI, exceptional},
    };
    // One poll entry per set entry, in set order; poll() accepts repeated
    // descriptors, so a socket in several sets needs no merging.
    std::vector<pollfd> fds;
    fds.reserve((read ? read->size() : 0) + (write ? write->size() : 0) +
                (except ? except->size() : 0));
    for (const PollRequest& r : requests) {
        if (r.set == nullptr)
            continue;
        for (std::size_t i = 0; i < r.set->size(); ++i) {
            const Socket s = r.set->at(i);
            if (s == kInvalidSocket || fdOf(s) < 0)
                return kWsaENotSock;
            fds.push_back(pollfd{fdOf(s), r.events, 0});
        }
    }
    // Winsock refuses a select over no sockets at all.
    if (fds.empty())
        return kWsaEInval;

    if (pollFor(fds, timeoutMicros) < 0)
        return lastSocketError();
    for (const pollfd& p : fds) {
        if ((p.revents & POLLNVAL) != 0)
            return kWsaENotSock;
    }

    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t next = 0;
    for (const PollRequest& r : requests) {
        if (r.set == nullptr)
            continue;
        r.set->retainIf([&](Socket s) {
            const short revents = fds[next++].revents;
            if (m_connecting.count(s) == 0)
                return r.ready(revents);
            // A connect still in progress is reported once it ends: success
            // as writable, failure only as an exception.
            if (connectFailed(revents))
                return r.set == except;
            if (r.set == write && (revents & POLLOUT) != 0)
                return true;
            return r.set == read && (revents & POLLIN) != 0;
        });
        ready += static_cast<int>(r.set->size());
    }
    // A connect seen completed is an ordinary socket from now on.
    if (write != nullptr) {
        for (std::size_t i = 0; i < write->size(); ++i)
            m_connecting.erase(write->at(i));
    }
    return 0;
}

int PosixSockets::getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) {
    out.clear();
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(node.c_str(), nullptr, nullptr, &list);
    if (rc != 0)
        return wsaErrorFromGai(rc, errno);
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        AddrInfo entry;
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            entry.family = kAfInet;
            sockaddr_in sa;
            std::memcpy(&sa, ai->ai_addr, sizeof sa);
            entry.v4 = fromSockaddr(sa);
        } else if (ai->ai_family == AF_INET6) {
            entry.family = kAfInet6;
        } else {
            entry.family = ai->ai_family;
        }
        out.push_back(entry);
    }
    ::freeaddrinfo(list);
    return 0;
}

Sockets& nativeSockets() {
    static PosixSockets g_instance;
    return g_instance;
}

}  // namespace platform
