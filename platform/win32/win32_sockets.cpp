// Windows Sockets 2 behind the sockets seam. The select loop watches up to
// 4096 sockets per set, so the fd_set must be that large: FD_SETSIZE has to
// be defined before the first Winsock header.
#define FD_SETSIZE 4096
#include <winsock2.h>
#include <ws2tcpip.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

static_assert(sizeof(SOCKET) == sizeof(Socket), "socket handle width");
static_assert(INVALID_SOCKET == kInvalidSocket, "invalid socket value");
static_assert(sizeof(sockaddr_in) == sizeof(SockAddrIn), "IPv4 address layout");
static_assert(AF_INET == kAfInet && AF_INET6 == kAfInet6, "address family numbers");
static_assert(SocketSet::kCapacity <= FD_SETSIZE, "an fd_set holds a whole SocketSet");

sockaddr_in toNative(const SockAddrIn& a) {
    sockaddr_in n{};
    n.sin_family = a.family;
    n.sin_port = a.port;
    n.sin_addr.s_addr = a.addr;
    return n;
}

SockAddrIn fromNative(const sockaddr_in& n) {
    SockAddrIn a;
    a.family = n.sin_family;
    a.port = n.sin_port;
    a.addr = n.sin_addr.s_addr;
    return a;
}

// 0 when the call succeeded, otherwise the Winsock error of this thread.
int result(bool ok) {
    return ok ? 0 : WSAGetLastError();
}

int setIntOption(Socket s, int level, int name, int value) {
    return result(::setsockopt(static_cast<SOCKET>(s), level, name,
                               reinterpret_cast<const char*>(&value), sizeof(value)) == 0);
}

// An fd_set of FD_SETSIZE entries is 32 KiB; three of them are kept off the
// stack of whatever thread runs the loop.
std::unique_ptr<fd_set> toFdSet(const SocketSet* set) {
    if (set == nullptr || set->empty())
        return nullptr;
    auto fds = std::make_unique<fd_set>();
    fds->fd_count = static_cast<u_int>(set->size());
    for (std::size_t i = 0; i < set->size(); ++i)
        fds->fd_array[i] = set->at(i);
    return fds;
}

// Winsock leaves in each fd_set only the ready sockets, in an order of its
// own; keep the caller's order and drop the others. Membership goes through
// an index of the ready ones, so this costs the same per socket however many
// are watched.
void keepReady(SocketSet* set, const fd_set* fds) {
    if (set == nullptr)
        return;
    if (fds == nullptr) {
        set->clear();
        return;
    }
    thread_local SocketSet t_ready;
    t_ready.clear();
    for (u_int i = 0; i < fds->fd_count; ++i)
        t_ready.add(fds->fd_array[i]);
    set->retainIf([](Socket s) { return t_ready.contains(s); });
}

void clearAll(SocketSet* read, SocketSet* write, SocketSet* except) {
    for (SocketSet* s : {read, write, except}) {
        if (s != nullptr)
            s->clear();
    }
}

class Win32Sockets : public Sockets {
public:
    int startup() override {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }

    int cleanup() override { return result(::WSACleanup() == 0); }

    int createTcp(Socket& out) override {
        const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
        out = s;
        return result(s != INVALID_SOCKET);
    }

    int setReuseAddr(Socket s) override { return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

    int setNoDelay(Socket s) override { return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }

    int setNonBlocking(Socket s) override {
        u_long on = 1;
        return result(::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0);
    }

    int bind(Socket s, const SockAddrIn& addr) override {
        const sockaddr_in n = toNative(addr);
        return result(
            ::bind(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&n), sizeof(n)) == 0);
    }

    int listen(Socket s, int backlog) override {
        return result(::listen(static_cast<SOCKET>(s), backlog) == 0);
    }

    int accept(Socket s, Socket& out, SockAddrIn* peer) override {
        sockaddr_in n{};
        int len = sizeof(n);
        const SOCKET a = peer == nullptr ? ::accept(static_cast<SOCKET>(s), nullptr, nullptr)
                                         : ::accept(static_cast<SOCKET>(s),
                                                    reinterpret_cast<sockaddr*>(&n), &len);
        const int error = result(a != INVALID_SOCKET);
        out = a;
        if (error == 0 && peer != nullptr)
            *peer = fromNative(n);
        return error;
    }

    int connect(Socket s, const SockAddrIn& addr) override {
        const sockaddr_in n = toNative(addr);
        return result(::connect(static_cast<SOCKET>(s), reinterpret_cast<const sockaddr*>(&n),
                                sizeof(n)) == 0);
    }

    int getSockName(Socket s, SockAddrIn& out) override {
        sockaddr_in n{};
        int len = sizeof(n);
        const int error = result(
            ::getsockname(static_cast<SOCKET>(s), reinterpret_cast<sockaddr*>(&n), &len) == 0);
        if (error == 0)
            out = fromNative(n);
        return error;
    }

    int getSocketError(Socket s, int& pending) override {
        int value = 0;
        int len = sizeof(value);
        const int error = result(::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR,
                                              reinterpret_cast<char*>(&value), &len) == 0);
        pending = error == 0 ? value : 0;
        return error;
    }

    int send(Socket s, const std::uint8_t* data, int len, int& sent) override {
        const int n = ::send(static_cast<SOCKET>(s), reinterpret_cast<const char*>(data), len, 0);
        const int error = result(n != SOCKET_ERROR);
        sent = error == 0 ? n : 0;
        return error;
    }

    int recv(Socket s, std::uint8_t* data, int len, int& received) override {
        const int n = ::recv(static_cast<SOCKET>(s), reinterpret_cast<char*>(data), len, 0);
        const int error = result(n != SOCKET_ERROR);
        received = error == 0 ? n : 0;
        return error;
    }

    int shutdownSend(Socket s) override {
        return result(::shutdown(static_cast<SOCKET>(s), SD_SEND) == 0);
    }

    int close(Socket s) override { return result(::closesocket(static_cast<SOCKET>(s)) == 0); }

    int select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
               int& ready) override {
        std::unique_ptr<fd_set> r = toFdSet(read);
        std::unique_ptr<fd_set> w = toFdSet(write);
        std::unique_ptr<fd_set> e = toFdSet(except);
        timeval limit{};
        limit.tv_sec = timeoutMicros / 1000000;
        limit.tv_usec = timeoutMicros % 1000000;
        // The first argument is ignored by Winsock.
        const int n = ::select(1, r.get(), w.get(), e.get(), timeoutMicros < 0 ? nullptr : &limit);
        const int error = result(n != SOCKET_ERROR);
        if (error != 0) {
            ready = 0;
            clearAll(read, write, except);
            return error;
        }
        ready = n;
        keepReady(read, r.get());
        keepReady(write, w.get());
        keepReady(except, e.get());
        return 0;
    }

    // The node text is UTF-8; the wide resolver keeps non-ASCII names intact,
    // which the narrow one would read in the ANSI code page.
    int getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) override {
        out.clear();
        const std::wstring wideNode = win32::utf8ToUtf16(node);
        ADDRINFOW* list = nullptr;
        const int rc = ::GetAddrInfoW(wideNode.c_str(), nullptr, nullptr, &list);
        if (rc != 0) {
            const int error = WSAGetLastError();
            return error != 0 ? error : rc;
        }
        const win32::ScopeExit release([list] { ::FreeAddrInfoW(list); });
        for (const ADDRINFOW* ai = list; ai != nullptr; ai = ai->ai_next) {
            AddrInfo entry;
            entry.family = ai->ai_family;
            if (ai->ai_family == AF_INET && ai->ai_addr != nullptr &&
                ai->ai_addrlen >= sizeof(sockaddr_in)) {
                entry.v4 = fromNative(*reinterpret_cast<const sockaddr_in*>(ai->ai_addr));
            }
            out.push_back(entry);
        }
        return 0;
    }
};

}  // namespace

Sockets& nativeSockets() {
    static Win32Sockets g_instance;
    return g_instance;
}

}  // namespace platform
