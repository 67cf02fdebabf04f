#include "tests/fakes/fake_relay_env.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/errors.h"

std::uint32_t OwnerTcpTable::getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                                 std::uint32_t& size,
                                                 const platform::TcpOwnerHint* hint) {
    std::vector<platform::TcpRowOwner> rows;
    if (hint != nullptr && family == platform::kAfInet && m_attributes.load()) {
        platform::TcpRowOwner row{5, 0, hint->localPort, 0, hint->remotePort, m_owner.load()};
        std::memcpy(&row.localAddr, hint->localAddr.data(), 4);
        std::memcpy(&row.remoteAddr, hint->remoteAddr.data(), 4);
        rows.push_back(row);
    }
    const std::uint32_t needed = static_cast<std::uint32_t>(
        sizeof(std::uint32_t) + rows.size() * sizeof(platform::TcpRowOwner));
    if (buffer == nullptr || size < needed) {
        size = needed;
        return platform::kErrorInsufficientBuffer;
    }
    const std::uint32_t count = static_cast<std::uint32_t>(rows.size());
    std::memcpy(buffer, &count, sizeof count);
    if (!rows.empty()) {
        std::memcpy(buffer + sizeof count, rows.data(),
                    rows.size() * sizeof(platform::TcpRowOwner));
    }
    size = needed;
    return 0;
}

std::uint32_t Session0Identity::ownerSessionId(platform::SocketOwner, std::int64_t,
                                               std::uint32_t& session) {
    session = 0;
    return 0;
}

RelayEnv::RelayEnv() : m_scope(make()) {}

platform::Platform RelayEnv::make() {
    platform::Platform p = platform::current();
    p.sockets = &m_sockets;
    p.tcpTable = &m_tcpTable;
    p.identity = &m_identity;
    p.registry = &m_registry;
    return p;
}

namespace loopback {

namespace {

platform::Sockets& native() {
    return platform::nativeSockets();
}

platform::SockAddr loopbackAddr(std::uint16_t port) {
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    addr.port = platform::hostToNet16(port);
    return addr;
}

}  // namespace

Pair connectedPair() {
    Pair pair;
    platform::Socket listener = platform::kInvalidSocket;
    if (native().createTcp(listener) != 0)
        return pair;
    platform::SockAddr addr = loopbackAddr(0);
    if (native().bind(listener, addr) == 0 && native().listen(listener, 1) == 0 &&
        native().getSockName(listener, addr) == 0 && native().createTcp(pair.far) == 0) {
        if (native().connect(pair.far, addr) != 0 ||
            native().accept(listener, pair.near, nullptr) != 0 ||
            native().setNonBlocking(pair.near) != 0) {
            close(pair.far);
            close(pair.near);
        }
    }
    native().close(listener);
    return pair;
}

platform::Socket connectTo(std::uint16_t port) {
    platform::Socket sock = platform::kInvalidSocket;
    if (native().createTcp(sock) != 0)
        return platform::kInvalidSocket;
    if (native().connect(sock, loopbackAddr(port)) != 0)
        close(sock);
    return sock;
}

std::uint16_t localPort(platform::Socket sock) {
    platform::SockAddr addr;
    if (native().getSockName(sock, addr) != 0)
        return 0;
    return platform::netToHost16(addr.port);
}

void close(platform::Socket& sock) {
    if (sock == platform::kInvalidSocket)
        return;
    native().close(sock);
    sock = platform::kInvalidSocket;
}

bool sendAll(platform::Socket sock, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        int sent = 0;
        const int error =
            native().send(sock, reinterpret_cast<const std::uint8_t*>(bytes.data()) + done,
                          static_cast<int>(bytes.size() - done), sent);
        if (error != 0 || sent <= 0)
            return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

bool waitReadable(platform::Socket sock, std::chrono::milliseconds timeout) {
    platform::SocketSet set;
    set.add(sock);
    int ready = 0;
    const long micros = static_cast<long>(timeout.count()) * 1000;
    return native().select(&set, nullptr, nullptr, micros, ready) == 0 && ready > 0;
}

namespace {

constexpr std::size_t kReadChunk = 65536;

// One read with a deadline; false when nothing more will come.
bool readSome(platform::Socket sock, std::string& out, bool& ended,
              std::chrono::steady_clock::time_point deadline, std::size_t maxBytes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || !waitReadable(sock, left))
        return false;
    std::uint8_t buf[kReadChunk];
    int received = 0;
    const int want = static_cast<int>(std::min(maxBytes, sizeof buf));
    const int error = native().recv(sock, buf, want, received);
    if (error == platform::kWsaEWouldBlock)
        return true;
    if (error != 0)
        return false;
    if (received == 0) {
        ended = true;
        return false;
    }
    out.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(received));
    return true;
}

}  // namespace

std::string readToEnd(platform::Socket sock, bool& ended, std::chrono::milliseconds timeout) {
    ended = false;
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (readSome(sock, out, ended, deadline, kReadChunk)) {
    }
    return out;
}

std::string readExactly(platform::Socket sock, std::size_t n, std::chrono::milliseconds timeout) {
    bool ended = false;
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (out.size() < n && readSome(sock, out, ended, deadline, n - out.size())) {
    }
    return out;
}

}  // namespace loopback
