// Preloaded into the relay (LD_PRELOAD) by the browser chain test. Once a
// connection has been accepted on the port named by
// VC_FAIL_SOCKETS_AFTER_ACCEPT_ON, every new IPv4 stream socket fails with
// EMFILE, as when the process has run out of descriptors. The relay's own
// listening and wakeup sockets exist before its first browser connection,
// so only the sockets for the gateway are hit, whatever their number.
#include <dlfcn.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace {

std::atomic<bool> g_failing{false};

int watchedPort() {
    static const int port = [] {
        const char* text = std::getenv("VC_FAIL_SOCKETS_AFTER_ACCEPT_ON");
        return text ? std::atoi(text) : -1;
    }();
    return port;
}

void noteAccepted(int listener, int accepted) {
    if (accepted < 0 || g_failing.load())
        return;
    sockaddr_in addr{};
    socklen_t len = sizeof(addr);
    if (::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0 &&
        addr.sin_family == AF_INET && ntohs(addr.sin_port) == watchedPort()) {
        g_failing.store(true);
    }
}

template <typename Function>
Function nextDefinition(const char* name) {
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int socket(int domain, int type, int protocol) noexcept {
    static const auto real = nextDefinition<int (*)(int, int, int)>("socket");
    int baseType = type & ~(SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (g_failing.load() && domain == AF_INET && baseType == SOCK_STREAM) {
        errno = EMFILE;
        return -1;
    }
    return real(domain, type, protocol);
}

int accept(int fd, sockaddr* addr, socklen_t* len) {
    static const auto real = nextDefinition<int (*)(int, sockaddr*, socklen_t*)>("accept");
    int accepted = real(fd, addr, len);
    noteAccepted(fd, accepted);
    return accepted;
}

int accept4(int fd, sockaddr* addr, socklen_t* len, int flags) {
    static const auto real = nextDefinition<int (*)(int, sockaddr*, socklen_t*, int)>("accept4");
    int accepted = real(fd, addr, len, flags);
    noteAccepted(fd, accepted);
    return accepted;
}

}  // extern "C"
