#include "tools/common/tool_net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

namespace toolnet {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        reset();
        m_fd = other.release();
    }
    return *this;
}

int Fd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void Fd::reset() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

void Fd::resetAbortive() {
    if (m_fd < 0)
        return;
    setResetOnClose(m_fd);
    reset();
}

void setResetOnClose(int fd) {
    const linger abortive{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
}

bool writeAll(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t sent = ::send(fd, p, len, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        p += sent;
        len -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    return writeAll(fd, bytes.data(), bytes.size());
}

bool writeBytewise(int fd, const void* data, std::size_t len, unsigned pauseMicros) {
    setNoDelay(fd);
    const char* p = static_cast<const char*>(data);
    for (std::size_t i = 0; i < len; ++i) {
        if (i > 0 && pauseMicros > 0) {
            // Not synchronisation: the pause only keeps the bytes in separate segments.
            std::this_thread::sleep_for(std::chrono::microseconds(pauseMicros));
        }
        if (!writeAll(fd, p + i, 1))
            return false;
    }
    return true;
}

bool readExact(int fd, void* out, std::size_t len) {
    char* p = static_cast<char*>(out);
    while (len > 0) {
        const ssize_t got = ::read(fd, p, len);  // read, not recv: pipes too
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        p += got;
        len -= static_cast<std::size_t>(got);
    }
    return true;
}

void setNoDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

bool setNonBlocking(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    return ::fcntl(fd, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK) == 0;
}

namespace {

timeval toTimeval(std::chrono::milliseconds timeout) {
    const auto ms = timeout.count();
    return timeval{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
}

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Describes the failed step in error and closes fd, keeping errno.
Fd fail(Fd& fd, const std::string& step, std::string& error) {
    const int saved = errno;
    error = step + ": " + std::strerror(saved);
    fd.reset();
    errno = saved;
    return Fd();
}

}  // namespace

void setReceiveTimeout(int fd, std::chrono::milliseconds timeout) {
    const timeval t = toTimeval(timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
}

void setTimeouts(int fd, std::chrono::milliseconds timeout) {
    const timeval t = toTimeval(timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

Fd listenLoopback(std::uint16_t& port, int backlog, std::string& error) {
    return listenOn("127.0.0.1", port, backlog, error);
}

namespace {

// A dotted IPv4 or an IPv6 literal with a port; false for anything else.
bool parseAddress(const std::string& address, std::uint16_t port, sockaddr_storage& storage,
                  socklen_t& length) {
    storage = sockaddr_storage{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        length = sizeof *v4;
        return true;
    }
    if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        length = sizeof *v6;
        return true;
    }
    return false;
}

}  // namespace

Fd connectTo(const std::string& address, std::uint16_t port, std::string& error) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!parseAddress(address, port, storage, length)) {
        error = "not an address: " + address;
        return Fd();
    }
    Fd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return fail(fd, "socket", error);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&storage), length) != 0)
        return fail(fd, "connect " + address + ":" + std::to_string(port), error);
    return fd;
}

Fd listenOn(const std::string& address, std::uint16_t& port, int backlog, std::string& error) {
    sockaddr_storage storage;
    socklen_t length = 0;
    if (!parseAddress(address, port, storage, length)) {
        error = "not an address: " + address;
        return Fd();
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&storage);
    const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&storage);
    Fd fd(::socket(storage.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid())
        return fail(fd, "socket", error);
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&storage), length) != 0)
        return fail(fd, "bind " + address + ":" + std::to_string(port), error);
    if (::listen(fd.get(), backlog) != 0)
        return fail(fd, "listen", error);
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&storage), &length) != 0)
        return fail(fd, "getsockname", error);
    port = ntohs(storage.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
    return fd;
}

Fd listenLoopback(std::uint16_t& port, int backlog) {
    std::string ignored;
    return listenLoopback(port, backlog, ignored);
}

Fd connectLoopback(std::uint16_t port, unsigned flags, std::string& error) {
    const bool nonBlocking = (flags & kNonBlocking) != 0;
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0));
    if (!fd.valid())
        return fail(fd, "socket", error);
    if (flags & kNoDelay)
        setNoDelay(fd.get());
    const sockaddr_in addr = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 &&
        !(nonBlocking && errno == EINPROGRESS)) {
        return fail(fd, "connect", error);
    }
    return fd;
}

Fd connectLoopback(std::uint16_t port, unsigned flags) {
    std::string ignored;
    return connectLoopback(port, flags, ignored);
}

bool writePortFile(const std::string& path, std::uint16_t port) {
    if (path.empty())
        return true;
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::trunc);
        out << port << "\n";
        if (!out)
            return false;
    }
    return std::rename(tmp.c_str(), path.c_str()) == 0;
}

}  // namespace toolnet
