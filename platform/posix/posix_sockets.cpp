#include "platform/posix/posix_sockets.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/epoll_poller.h"
#include "platform/posix/errno_map.h"

namespace platform {
namespace {

int fdOf(Socket s) {
    return static_cast<int>(s);
}

int lastSocketError() {
    return wsaErrorFromErrno(errno);
}

// Room for an address of either family, and its length.
struct NativeAddr {
    sockaddr_storage storage{};
    socklen_t length = sizeof(sockaddr_storage);
    sockaddr* get() { return reinterpret_cast<sockaddr*>(&storage); }
};

NativeAddr toNative(const SockAddr& addr) {
    NativeAddr out;
    if (addr.family == kAfInet6) {
        auto* sa = reinterpret_cast<sockaddr_in6*>(&out.storage);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = addr.port;
        std::memcpy(sa->sin6_addr.s6_addr, addr.addr6.data(), 16);
        sa->sin6_scope_id = addr.scopeId;
        out.length = sizeof(sockaddr_in6);
        return out;
    }
    auto* sa = reinterpret_cast<sockaddr_in*>(&out.storage);
    sa->sin_family = addr.family == kAfInet ? AF_INET : static_cast<sa_family_t>(addr.family);
    sa->sin_port = addr.port;
    sa->sin_addr.s_addr = addr.addr;
    out.length = sizeof(sockaddr_in);
    return out;
}

SockAddr fromNative(const sockaddr_storage& storage) {
    SockAddr addr;
    if (storage.ss_family == AF_INET6) {
        const auto* sa = reinterpret_cast<const sockaddr_in6*>(&storage);
        addr.family = kAfInet6;
        addr.port = sa->sin6_port;
        std::memcpy(addr.addr6.data(), sa->sin6_addr.s6_addr, 16);
        addr.scopeId = sa->sin6_scope_id;
        return addr;
    }
    const auto* sa = reinterpret_cast<const sockaddr_in*>(&storage);
    addr.family = sa->sin_family == AF_INET ? kAfInet : static_cast<std::uint16_t>(sa->sin_family);
    addr.port = sa->sin_port;
    addr.addr = sa->sin_addr.s_addr;
    return addr;
}

// Three SYNs, at 0, 1 and 3 s, and the connect fails at about 15 s: near
// the 21 s after which Windows gives up, far from Linux's own two minutes.
constexpr int kConnectSynRetries = 3;

int setIntOption(Socket s, int level, int option, int value) {
    if (::setsockopt(fdOf(s), level, option, &value, sizeof value) != 0)
        return lastSocketError();
    return 0;
}

// Descriptor numbers above this are no sockets of ours; they would only
// make the per-descriptor tables huge.
constexpr Socket kMaxDescriptor = Socket{1} << 22;

enum SetBit : std::uint8_t { kInRead = 1, kInWrite = 2, kInExcept = 4 };

// A select call's read, write and except sets (each may be null), and the
// bit that stands for each.
using CallSets = SocketSet* const[3];
constexpr std::uint8_t kSetBits[] = {kInRead, kInWrite, kInExcept};

// What Winsock checks before any wait: 0, kWsaENotSock or kWsaEInval.
int checkSets(CallSets& sets) {
    std::size_t total = 0;
    for (SocketSet* set : sets) {
        if (set == nullptr)
            continue;
        total += set->size();
        for (std::size_t i = 0; i < set->size(); ++i) {
            if (set->at(i) == kInvalidSocket || set->at(i) > kMaxDescriptor)
                return kWsaENotSock;
        }
    }
    // Winsock refuses a select over no sockets at all.
    return total == 0 ? kWsaEInval : 0;
}

// Milliseconds left until the deadline, rounded up.
int millisLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::clamp<long long>(left.count(), 0, 1 << 30));
}

int selectErrorOf(int err) {
    // Not an open descriptor, or one that cannot be waited on.
    return err == EBADF || err == EPERM || err == EINVAL ? kWsaENotSock : wsaErrorFromErrno(err);
}

}  // namespace

// One thread's epoll instance and the scratch tables of its select calls.
// It is listed with its sockets object so that a close on any thread takes
// the descriptor out of it, and leaves that list when the thread ends.
class ThreadPoller {
public:
    // The calling thread's poller; the owner's mutex is held.
    static ThreadPoller& of(PosixSockets& owner) {
        thread_local ThreadPoller t_poller;
        if (t_poller.m_owner != &owner)
            t_poller.attach(owner);
        return t_poller;
    }

    ~ThreadPoller() {
        if (m_owner == nullptr)
            return;
        std::lock_guard<std::mutex> lock(m_owner->m_mutex);
        detachLocked();
    }

    posix::EpollPoller& epoll() { return *m_epoll; }

    // Which sets each descriptor of the current call is in, and in which it
    // turned out ready; indexed by descriptor, cleared after each call.
    void note(int fd, std::uint8_t bit) {
        const auto i = static_cast<std::size_t>(fd);
        if (i >= m_sets.size()) {
            m_sets.resize(i + 1);
            m_ready.resize(i + 1);
        }
        if (m_sets[i] == 0)
            m_fds.push_back(fd);
        m_sets[i] |= bit;
    }
    std::uint8_t sets(int fd) const {
        const auto i = static_cast<std::size_t>(fd);
        return i < m_sets.size() ? m_sets[i] : 0;
    }
    void markReady(int fd, std::uint8_t bits) {
        m_ready[static_cast<std::size_t>(fd)] |= bits & sets(fd);
    }
    bool ready(int fd, std::uint8_t bit) const {
        return (m_ready[static_cast<std::size_t>(fd)] & bit) != 0;
    }
    bool anyReady() const {
        for (int fd : m_fds) {
            if (m_ready[static_cast<std::size_t>(fd)] != 0)
                return true;
        }
        return false;
    }
    const std::vector<int>& fds() const { return m_fds; }
    void endCall() {
        for (int fd : m_fds) {
            m_sets[static_cast<std::size_t>(fd)] = 0;
            m_ready[static_cast<std::size_t>(fd)] = 0;
        }
        m_fds.clear();
    }

private:
    ThreadPoller() = default;

    void attach(PosixSockets& owner) {
        if (m_owner != nullptr) {
            std::lock_guard<std::mutex> lock(m_owner->m_mutex);
            detachLocked();
        }
        m_owner = &owner;
        m_epoll = std::make_unique<posix::EpollPoller>();
        owner.m_pollers.push_back(this);
    }
    void detachLocked() {
        auto& list = m_owner->m_pollers;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        m_owner = nullptr;
    }

    PosixSockets* m_owner = nullptr;
    std::unique_ptr<posix::EpollPoller> m_epoll;
    std::vector<std::uint8_t> m_sets;
    std::vector<std::uint8_t> m_ready;
    std::vector<int> m_fds;
};

int PosixSockets::startup() {
    return 0;
}

int PosixSockets::cleanup() {
    return 0;
}

int PosixSockets::createTcp(Socket& out) {
    return createSocket(AF_INET, out);
}

int PosixSockets::createTcp6(Socket& out) {
    return createSocket(AF_INET6, out);
}

int PosixSockets::createSocket(int family, Socket& out) {
    out = kInvalidSocket;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lastSocketError();
    out = static_cast<Socket>(fd);
    return 0;
}

int PosixSockets::setV6Only(Socket s) {
    return setIntOption(s, IPPROTO_IPV6, IPV6_V6ONLY, 1);
}

int PosixSockets::limitConnectTime(Socket s) {
    return setIntOption(s, IPPROTO_TCP, TCP_SYNCNT, kConnectSynRetries);
}

int PosixSockets::setReuseAddr(Socket s) {
    return setIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1);
}

int PosixSockets::setNoDelay(Socket s) {
    return setIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1);
}

int PosixSockets::setNonBlocking(Socket s) {
    int on = 1;
    if (::ioctl(fdOf(s), FIONBIO, &on) != 0)
        return lastSocketError();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nonBlocking.insert(s);
    return 0;
}

int PosixSockets::bind(Socket s, const SockAddr& addr) {
    NativeAddr sa = toNative(addr);
    if (::bind(fdOf(s), sa.get(), sa.length) != 0)
        return lastSocketError();
    return 0;
}

int PosixSockets::listen(Socket s, int backlog) {
    if (::listen(fdOf(s), backlog) != 0)
        return lastSocketError();
    return 0;
}

int PosixSockets::accept(Socket s, Socket& out, SockAddr* peer) {
    out = kInvalidSocket;
    // As with Winsock, an accepted socket inherits the listener's mode.
    int acceptFlags = SOCK_CLOEXEC;
    bool nonBlocking = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        nonBlocking = m_nonBlocking.count(s) != 0;
    }
    if (nonBlocking)
        acceptFlags |= SOCK_NONBLOCK;

    NativeAddr sa;
    int fd;
    do {
        sa.length = sizeof sa.storage;
        fd = ::accept4(fdOf(s), sa.get(), &sa.length, acceptFlags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return lastSocketError();
    out = static_cast<Socket>(fd);
    if (nonBlocking) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_nonBlocking.insert(out);
    }
    if (peer != nullptr)
        *peer = fromNative(sa.storage);
    return 0;
}

int PosixSockets::connect(Socket s, const SockAddr& addr) {
    NativeAddr sa = toNative(addr);
    const int rc = ::connect(fdOf(s), sa.get(), sa.length);
    const int err = rc == 0 ? 0 : errno;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (err == EINPROGRESS) {
        m_connects.began(s);
    } else {
        m_connects.forget(s);
    }
    return err == 0 ? 0 : wsaErrorFromErrno(err);
}

int PosixSockets::getSockName(Socket s, SockAddr& out) {
    NativeAddr sa;
    if (::getsockname(fdOf(s), sa.get(), &sa.length) != 0)
        return lastSocketError();
    out = fromNative(sa.storage);
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
        m_connects.forget(s);
        m_nonBlocking.erase(s);
        for (ThreadPoller* poller : m_pollers)
            poller->epoll().forget(fdOf(s));
    }
    // On Linux the descriptor is released even when close() is interrupted.
    if (::close(fdOf(s)) != 0 && errno != EINTR)
        return lastSocketError();
    return 0;
}

namespace {

void noteSets(ThreadPoller& poller, CallSets& sets) {
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr)
            continue;
        for (std::size_t i = 0; i < sets[k]->size(); ++i)
            poller.note(fdOf(sets[k]->at(i)), kSetBits[k]);
    }
}

// Leaves in each set the sockets ready for it; how many are left in all.
int keepReady(const ThreadPoller& poller, CallSets& sets) {
    int ready = 0;
    for (int k = 0; k < 3; ++k) {
        if (sets[k] == nullptr)
            continue;
        sets[k]->retainIf([&](Socket s) { return poller.ready(fdOf(s), kSetBits[k]); });
        ready += static_cast<int>(sets[k]->size());
    }
    return ready;
}

}  // namespace

int PosixSockets::select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
                         int& ready) {
    ready = 0;
    CallSets sets = {read, write, except};
    if (const int err = checkSets(sets))
        return err;
    const bool unlimited = timeoutMicros < 0;
    const Deadline deadline =
        std::chrono::steady_clock::now() + std::chrono::microseconds(unlimited ? 0 : timeoutMicros);

    std::unique_lock<std::mutex> lock(m_mutex);
    ThreadPoller& poller = ThreadPoller::of(*this);
    posix::EpollPoller& epoll = poller.epoll();
    if (epoll.createError() != 0)
        return wsaErrorFromErrno(epoll.createError());
    struct EndCall {
        ThreadPoller& poller;
        ~EndCall() { poller.endCall(); }
    } endCall{poller};

    noteSets(poller, sets);
    if (const int err = watchCallSockets(poller))
        return err;
    if (const int err = waitForReady(poller, lock, unlimited, deadline))
        return err;
    ready = keepReady(poller, sets);
    return 0;
}

int PosixSockets::waitForReady(ThreadPoller& poller, std::unique_lock<std::mutex>& lock,
                               bool unlimited, Deadline deadline) {
    posix::EpollPoller& epoll = poller.epoll();
    // A report can turn out to mean nothing for the caller (the end of a
    // connect nobody asked about): then wait again for the time that is
    // left, rather than return early with nothing ready.
    for (;;) {
        const bool readyNow = poller.anyReady();
        const int limit = readyNow ? 0 : unlimited ? -1 : millisLeft(deadline);
        lock.unlock();
        const int n = epoll.wait(limit);
        lock.lock();
        if (n < 0)
            return wsaErrorFromErrno(-n);
        for (int i = 0; i < n; ++i)
            serveEvent(poller, epoll.event(i));
        if (poller.anyReady() || (!unlimited && std::chrono::steady_clock::now() >= deadline))
            return 0;
    }
}

int PosixSockets::watchCallSockets(ThreadPoller& poller) {
    posix::EpollPoller& epoll = poller.epoll();
    epoll.beginRound();
    for (int fd : poller.fds()) {
        const Socket s = static_cast<Socket>(fd);
        if (m_connects.state(s) == posix::ConnectStates::State::Failed) {
            // Reported without waiting where it is asked for, never waited on.
            poller.markReady(fd, kInExcept);
            continue;
        }
        const std::uint8_t in = poller.sets(fd);
        const std::uint32_t ordinary =
            posix::eventsFor(in & kInRead, in & kInWrite, in & kInExcept);
        const std::uint32_t events = m_connects.watchedEvents(s, ordinary);
        if (const int err = epoll.want(fd, events))
            return selectErrorOf(err);
    }
    epoll.commit();
    return 0;
}

void PosixSockets::serveEvent(ThreadPoller& poller, const epoll_event& event) {
    const int fd = event.data.fd;
    if (poller.sets(fd) == 0)
        return;  // closed meanwhile, or left over from an earlier call
    const Socket s = static_cast<Socket>(fd);
    using State = posix::ConnectStates::State;
    const State before = m_connects.state(s);
    const posix::Readiness r = m_connects.report(s, event.events);
    const State after = m_connects.state(s);
    const std::uint8_t in = poller.sets(fd);
    if (before != after && after == State::Failed) {
        poller.epoll().unwatch(fd);
    } else if (before != after) {
        // Connected: from now on watched for what the caller asked.
        poller.epoll().want(fd, posix::eventsFor(in & kInRead, in & kInWrite, in & kInExcept));
    }
    poller.markReady(
        fd, static_cast<std::uint8_t>((r.readable ? kInRead : 0) | (r.writable ? kInWrite : 0) |
                                      (r.exceptional ? kInExcept : 0)));
}

int PosixSockets::getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) {
    out.clear();
    addrinfo* list = nullptr;
    // Without hints glibc assumes AI_ADDRCONFIG, which asks the kernel for
    // every interface address on each call and counts loopback as no
    // address at all; the caller wants every address of the name.
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    const int rc = ::getaddrinfo(node.c_str(), nullptr, &hints, &list);
    if (rc != 0)
        return wsaErrorFromGai(rc, errno);
    for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        AddrInfo entry;
        const bool v4 = ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in);
        const bool v6 = ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6);
        if (v4 || v6) {
            sockaddr_storage storage{};
            std::memcpy(&storage, ai->ai_addr, v4 ? sizeof(sockaddr_in) : sizeof(sockaddr_in6));
            entry.addr = fromNative(storage);
            entry.family = entry.addr.family;
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
