#include "tools/hostile-gateway/sock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace hg {

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

bool writeAll(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const std::string& bytes) {
    return writeAll(fd, bytes.data(), bytes.size());
}

bool writeBytewise(int fd, const std::string& bytes) {
    setNoDelay(fd);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            // Not synchronisation: the pause only keeps the bytes in separate segments.
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        if (!writeAll(fd, &bytes[i], 1))
            return false;
    }
    return true;
}

bool readExact(int fd, void* out, std::size_t len) {
    char* p = static_cast<char*>(out);
    while (len > 0) {
        const ssize_t n = ::recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool skipBytes(int fd, std::size_t len) {
    char scratch[4096];
    while (len > 0) {
        const std::size_t want = len < sizeof(scratch) ? len : sizeof(scratch);
        if (!readExact(fd, scratch, want))
            return false;
        len -= want;
    }
    return true;
}

void drainUntilEof(int fd) {
    char scratch[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, scratch, sizeof(scratch), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
    }
}

void drainFor(int fd, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    char scratch[16384];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        const ssize_t n = ::recv(fd, scratch, sizeof(scratch), 0);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return;
    }
}

void closeWithReset(Fd& fd) {
    linger l{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    fd.reset();
}

void setTimeouts(int fd, int seconds) {
    timeval t{seconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof(t));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof(t));
}

void setNoDelay(int fd) {
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

}  // namespace

Fd listenLoopback(std::uint16_t port, int backlog, std::uint16_t& actualPort, std::string& error) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr = loopback(port);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = "bind 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        return Fd();
    }
    if (::listen(fd.get(), backlog) != 0) {
        error = std::string("listen: ") + std::strerror(errno);
        return Fd();
    }
    socklen_t len = sizeof(addr);
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    actualPort = ntohs(addr.sin_port);
    return fd;
}

Fd connectLoopback(std::uint16_t port, std::string& error) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        error = std::string("socket: ") + std::strerror(errno);
        return Fd();
    }
    sockaddr_in addr = loopback(port);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        error = std::string("connect: ") + std::strerror(errno);
        return Fd();
    }
    return fd;
}

}  // namespace hg
