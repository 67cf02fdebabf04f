// Reference gateway for the benchmarks: the gateway's side of the relay's
// SOCKS5 exchange (method 0x80, identity subnegotiation, CONNECT), accepting
// everything, then a line service in the tunnel:
//   "source N\n"  answers with N bytes of data;
//   any other line is echoed back as it came.
// The same service without the SOCKS exchange listens on a second port, for
// figures straight to the service. One thread, epoll, non-blocking sockets,
// so thousands of idle tunnels cost nothing but their descriptors. When a peer
// closes, the connection is reset rather than closed, so that the benchmarks
// leave no TIME_WAIT rows behind.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"

namespace {

constexpr std::size_t kMaxLine = 64 * 1024;
constexpr std::size_t kSourceChunk = 256 * 1024;
constexpr std::uint64_t kMaxSource = 1ull << 40;

enum class Stage { Greeting, Identity, Connect, Tunnel };

struct Conn {
    toolnet::Fd fd;
    Stage stage = Stage::Tunnel;
    std::string in;
    std::size_t inPos = 0;
    std::string out;
    std::size_t outPos = 0;
    std::uint64_t sourceLeft = 0;
};

const std::vector<char>& sourceData() {
    static const std::vector<char> data = [] {
        std::vector<char> d(kSourceChunk);
        std::uint32_t x = 0x9E3779B9u;
        for (char& c : d) {  // xorshift: bytes that do not compress
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = static_cast<char>(x);
        }
        return d;
    }();
    return data;
}

std::uint8_t byteAt(const Conn& c, std::size_t offset) {
    return static_cast<std::uint8_t>(c.in[c.inPos + offset]);
}

// Length of the message of the current SOCKS stage if it has fully arrived,
// else 0. -1 when the bytes cannot be a message of this stage.
long socksMessageLength(const Conn& c) {
    const std::size_t have = c.in.size() - c.inPos;
    auto u16 = [&c](std::size_t at) {
        return static_cast<std::size_t>(byteAt(c, at)) << 8 | byteAt(c, at + 1);
    };
    std::size_t need = 2;
    switch (c.stage) {
        case Stage::Greeting:
            if (have < need)
                return 0;
            if (byteAt(c, 0) != 5)
                return -1;
            need += byteAt(c, 1);
            break;
        case Stage::Identity: {
            // VER ORGLEN ORG ULEN USER NGROUPS (GIDLEN GID GNAMELEN GNAME)*
            if (have < need)
                return 0;
            need += byteAt(c, 1) + 2;
            if (have < need)
                return 0;
            need += u16(need - 2) + 2;
            if (have < need)
                return 0;
            std::size_t groups = u16(need - 2);
            for (; groups > 0; --groups) {
                for (int field = 0; field < 2; ++field) {
                    need += 2;
                    if (have < need)
                        return 0;
                    need += u16(need - 2);
                }
            }
            break;
        }
        case Stage::Connect: {
            need = 5;
            if (have < need)
                return 0;
            const std::uint8_t atyp = byteAt(c, 3);
            need = atyp == 1 ? 10 : atyp == 4 ? 22 : atyp == 3 ? 7 + byteAt(c, 4) : 0;
            if (byteAt(c, 0) != 5 || need == 0)
                return -1;
            break;
        }
        case Stage::Tunnel:
            return -1;
    }
    return have < need ? 0 : static_cast<long>(need);
}

// Handles one complete message or line, if there is one and nothing is still
// being sent. False when there was nothing to do; `bad` on a protocol error.
bool handleInput(Conn& c, bool& bad) {
    if (c.outPos < c.out.size() || c.sourceLeft > 0)
        return false;
    if (c.stage != Stage::Tunnel) {
        const long length = socksMessageLength(c);
        bad = length < 0;
        if (length <= 0)
            return false;
        c.inPos += static_cast<std::size_t>(length);
        static const char kMethod[] = {5, '\x80'};
        static const char kAccepted[] = {1, 0};
        static const char kConnected[] = {5, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        if (c.stage == Stage::Greeting) {
            c.out.assign(kMethod, sizeof kMethod);
            c.stage = Stage::Identity;
        } else if (c.stage == Stage::Identity) {
            c.out.assign(kAccepted, sizeof kAccepted);
            c.stage = Stage::Connect;
        } else {
            c.out.assign(kConnected, sizeof kConnected);
            c.stage = Stage::Tunnel;
        }
        c.outPos = 0;
        return true;
    }
    const std::size_t eol = c.in.find('\n', c.inPos);
    if (eol == std::string::npos) {
        bad = c.in.size() - c.inPos > kMaxLine;
        return false;
    }
    const std::string line = c.in.substr(c.inPos, eol + 1 - c.inPos);
    c.inPos = eol + 1;
    long count = 0;
    if (line.compare(0, 7, "source ") == 0 &&
        bench::parseLong(line.substr(7, line.size() - 8), 0, static_cast<long>(kMaxSource),
                         count)) {
        c.sourceLeft = static_cast<std::uint64_t>(count);
    } else {
        c.out = line;
        c.outPos = 0;
    }
    return true;
}

// Sends what is pending. False on a socket error; `blocked` when the socket
// cannot take more now.
bool sendPending(Conn& c, bool& blocked) {
    blocked = false;
    while (c.outPos < c.out.size() || c.sourceLeft > 0) {
        const char* data;
        std::size_t size;
        if (c.outPos < c.out.size()) {
            data = c.out.data() + c.outPos;
            size = c.out.size() - c.outPos;
        } else {
            data = sourceData().data();
            size = static_cast<std::size_t>(std::min<std::uint64_t>(c.sourceLeft, kSourceChunk));
        }
        const ssize_t sent = ::send(c.fd.get(), data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            blocked = true;
            return true;
        }
        if (sent <= 0)
            return false;
        if (c.outPos < c.out.size())
            c.outPos += static_cast<std::size_t>(sent);
        else
            c.sourceLeft -= static_cast<std::uint64_t>(sent);
    }
    c.out.clear();
    c.outPos = 0;
    return true;
}

// Moves the connection as far as it can go without waiting. False when it
// has ended (peer closed, error, or protocol error).
bool serve(Conn& c) {
    char buf[16 * 1024];
    for (;;) {
        bool blocked = false;
        if (!sendPending(c, blocked))
            return false;
        if (blocked)
            return true;  // resumed by EPOLLOUT
        bool bad = false;
        if (handleInput(c, bad))
            continue;
        if (bad)
            return false;
        if (c.inPos > 0 && c.inPos == c.in.size()) {
            c.in.clear();
            c.inPos = 0;
        }
        const ssize_t got = ::recv(c.fd.get(), buf, sizeof buf, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return true;  // resumed by EPOLLIN
        if (got <= 0)
            return false;
        c.in.append(buf, static_cast<std::size_t>(got));
    }
}

struct Options {
    long socksPort = 0;
    long plainPort = 0;
    std::string socksPortFile;
    std::string plainPortFile;
};

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.number("--port", 0, 65535, options.socksPort)
        .number("--plain-port", 0, 65535, options.plainPort)
        .text("--port-file", options.socksPortFile)
        .text("--plain-port-file", options.plainPortFile);
    return parser.parse(argc, argv, error);
}

class Server {
public:
    bool listen(long port, bool socks, const std::string& portFile) {
        std::uint16_t actual = static_cast<std::uint16_t>(port);
        toolnet::Fd fd = toolnet::listenLoopback(actual, 4096);
        if (!fd.valid() || !toolnet::setNonBlocking(fd.get(), true) || !watch(fd.get(), EPOLLIN) ||
            !toolnet::writePortFile(portFile, actual))
            return false;
        std::printf("vc-echo-gateway: %s on 127.0.0.1:%u\n", socks ? "SOCKS5" : "plain", actual);
        m_listeners.push_back({std::move(fd), socks});
        return true;
    }

    bool open() { return (m_epoll = toolnet::Fd(::epoll_create1(EPOLL_CLOEXEC))).valid(); }

    void run() {
        std::vector<epoll_event> events(256);
        for (;;) {
            const int n = ::epoll_wait(m_epoll.get(), events.data(), 256, -1);
            for (int i = 0; i < n; ++i)
                dispatch(events[i].data.fd);
        }
    }

private:
    struct Listener {
        toolnet::Fd fd;
        bool socks;
    };

    bool watch(int fd, std::uint32_t events) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        return ::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, fd, &ev) == 0;
    }

    void dispatch(int fd) {
        for (const Listener& l : m_listeners) {
            if (l.fd.get() == fd) {
                acceptAll(l);
                return;
            }
        }
        if (static_cast<std::size_t>(fd) < m_conns.size() && m_conns[fd] && !serve(*m_conns[fd]))
            drop(fd);
    }

    void acceptAll(const Listener& l) {
        for (;;) {
            toolnet::Fd fd(::accept4(l.fd.get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!fd.valid())
                return;
            toolnet::setNoDelay(fd.get());
            const int key = fd.get();
            if (!watch(key, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET))
                continue;
            if (static_cast<std::size_t>(key) >= m_conns.size())
                m_conns.resize(static_cast<std::size_t>(key) + 1);
            auto conn = std::make_unique<Conn>();
            conn->fd = std::move(fd);
            conn->stage = l.socks ? Stage::Greeting : Stage::Tunnel;
            m_conns[key] = std::move(conn);
        }
    }

    void drop(int fd) {
        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        m_conns[fd]->fd.resetAbortive();
        m_conns[fd].reset();
    }

    toolnet::Fd m_epoll;
    std::vector<Listener> m_listeners;
    std::vector<std::unique_ptr<Conn>> m_conns;  // by descriptor
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr,
                     "vc-echo-gateway: %s\n"
                     "usage: vc-echo-gateway [--port N] [--port-file F]\n"
                     "                       [--plain-port N] [--plain-port-file F]\n"
                     "SOCKS5 gateway stub on 127.0.0.1:N (0 picks a free port) and the same\n"
                     "line service without SOCKS on the plain port. In the tunnel: \"source N\"\n"
                     "answers N bytes, any other line is echoed.\n",
                     error.c_str());
        return 2;
    }
    bench::raiseDescriptorLimit(65536);
    Server server;
    if (!server.open() || !server.listen(options.socksPort, true, options.socksPortFile) ||
        !server.listen(options.plainPort, false, options.plainPortFile)) {
        std::fprintf(stderr, "vc-echo-gateway: cannot listen: %s\n", std::strerror(errno));
        return 1;
    }
    std::fflush(stdout);
    server.run();
}
