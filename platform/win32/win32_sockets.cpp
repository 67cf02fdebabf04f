// Windows Sockets 2 behind the sockets seam. The select loop watches up to
// 8192 sockets per set, so the fd_set must be that large: FD_SETSIZE has to
// be defined before the first Winsock header.
#define FD_SETSIZE 8192
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

static_assert(sizeof(SOCKET) == sizeof(Socket), "socket handle width");
static_assert(INVALID_SOCKET == kInvalidSocket, "invalid socket value");
static_assert(AF_INET == kAfInet && AF_INET6 == kAfInet6, "address family numbers");
static_assert(SocketSet::kCapacity <= FD_SETSIZE, "an fd_set holds a whole SocketSet");

// Room for an address of either family, and its length.
struct NativeAddr {
    sockaddr_storage storage{};
    int length = sizeof(sockaddr_storage);
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

NativeAddr toNative(const SockAddr& a) {
    NativeAddr out;
    if (a.family == kAfInet6) {
        auto* n = reinterpret_cast<sockaddr_in6*>(&out.storage);
        n->sin6_family = AF_INET6;
        n->sin6_port = a.port;
        std::memcpy(n->sin6_addr.s6_addr, a.addr6.data(), 16);
        n->sin6_scope_id = a.scopeId;
        out.length = sizeof(sockaddr_in6);
        return out;
    }
    auto* n = reinterpret_cast<sockaddr_in*>(&out.storage);
    n->sin_family = a.family;
    n->sin_port = a.port;
    n->sin_addr.s_addr = a.addr;
    out.length = sizeof(sockaddr_in);
    return out;
}

SockAddr fromNative(const sockaddr* n, std::size_t length) {
    SockAddr a;
    if (n->sa_family == AF_INET6 && length >= sizeof(sockaddr_in6)) {
        sockaddr_in6 v6;
        std::memcpy(&v6, n, sizeof v6);
        a.family = kAfInet6;
        a.port = v6.sin6_port;
        std::memcpy(a.addr6.data(), v6.sin6_addr.s6_addr, 16);
        a.scopeId = v6.sin6_scope_id;
    } else if (length >= sizeof(sockaddr_in)) {
        sockaddr_in v4;
        std::memcpy(&v4, n, sizeof v4);
        a.family = v4.sin_family;
        a.port = v4.sin_port;
        a.addr = v4.sin_addr.s_addr;
    }
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

// An fd_set of FD_SETSIZE entries is 64 KiB; three of them are kept off the
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

    int createTcp(Socket& out) override { return create(AF_INET, out); }
    int createTcp6(Socket& out) override { return create(AF_INET6, out); }

    int setV6Only(Socket s) override { return setIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 1); }

    // Windows ends a connect to a silent address by itself, after about 21 s.
    int limitConnectTime(Socket) override { return 0; }

    int setReuseAddr(Socket s) override { return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

    int setNoDelay(Socket s) override { return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }

    int setNonBlocking(Socket s) override {
        u_long on = 1;
        return result(::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0);
    }

    int bind(Socket s, const SockAddr& addr) override {
        NativeAddr n = toNative(addr);
        return result(::bind(static_cast<SOCKET>(s), n.get(), n.length) == 0);
    }

    int listen(Socket s, int backlog) override {
        return result(::listen(static_cast<SOCKET>(s), backlog) == 0);
    }

    int accept(Socket s, Socket& out, SockAddr* peer) override {
        NativeAddr n;
        const SOCKET a = peer == nullptr ? ::accept(static_cast<SOCKET>(s), nullptr, nullptr)
                                         : ::accept(static_cast<SOCKET>(s), n.get(), &n.length);
        const int error = result(a != INVALID_SOCKET);
        out = a;
        if (error == 0 && peer != nullptr)
            *peer = fromNative(n.get(), static_cast<std::size_t>(n.length));
        return error;
    }

    int connect(Socket s, const SockAddr& addr) override {
        NativeAddr n = toNative(addr);
        return result(::connect(static_cast<SOCKET>(s), n.get(), n.length) == 0);
    }

    int getSockName(Socket s, SockAddr& out) override {
        NativeAddr n;
        const int error = result(::getsockname(static_cast<SOCKET>(s), n.get(), &n.length) == 0);
        if (error == 0)
            out = fromNative(n.get(), static_cast<std::size_t>(n.length));
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
    int getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) override;

private:
    static int create(int family, Socket& out) {
        const SOCKET s = ::socket(family, SOCK_STREAM, 0);
        out = s;
        return result(s != INVALID_SOCKET);
    }
};

// The address list GetAddrInfoW allocates.
struct AddrInfoTraits {
    using Handle = ADDRINFOW*;
    static Handle invalid() { return nullptr; }
    static void release(Handle list) { ::FreeAddrInfoW(list); }
};

int Win32Sockets::getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) {
    out.clear();
    const std::wstring wideNode = win32::utf8ToUtf16(node);
    UniqueHandle<AddrInfoTraits> list;
    const int rc = ::GetAddrInfoW(wideNode.c_str(), nullptr, nullptr, list.out());
    if (rc != 0) {
        const int error = WSAGetLastError();
        return error != 0 ? error : rc;
    }
    for (const ADDRINFOW* ai = list.get(); ai != nullptr; ai = ai->ai_next) {
        AddrInfo entry;
        entry.family = ai->ai_family;
        if ((ai->ai_family == AF_INET || ai->ai_family == AF_INET6) && ai->ai_addr != nullptr)
            entry.addr = fromNative(ai->ai_addr, ai->ai_addrlen);
        out.push_back(entry);
    }
    return 0;
}

}  // namespace

Sockets& nativeSockets() {
    static Win32Sockets g_instance;
    return g_instance;
}

}  // namespace platform
