#include "tests/fakes/fake_socks_sockets.h"

#include <algorithm>

#include "platform/errors.h"

int FakeSocksSockets::createTcp(platform::Socket& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    out = m_createResult == 0 ? kGatewaySocket + m_created++ : platform::kInvalidSocket;
    return m_createResult;
}

int FakeSocksSockets::createTcp6(platform::Socket& out) {
    return createTcp(out);
}

int FakeSocksSockets::setNoDelay(platform::Socket) {
    return m_noDelayResult;
}

int FakeSocksSockets::setNonBlocking(platform::Socket) {
    return m_nonBlockingResult;
}

int FakeSocksSockets::connect(platform::Socket, const platform::SockAddr& addr) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_connectCalls;
    m_lastConnectAddr = addr;
    m_connectAddrs.push_back(addr);
    for (const auto& scripted : m_connectResults) {
        if (scripted.first == addr)
            return scripted.second;
    }
    return m_connectResult;
}

int FakeSocksSockets::getSocketError(platform::Socket s, int& pending) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto scripted = m_pendingErrors.find(s);
    const int error = scripted != m_pendingErrors.end() ? scripted->second : m_pendingError;
    pending = m_socketErrorResult == 0 ? error : 0;
    return m_socketErrorResult;
}

void FakeSocksSockets::setConnectResult(const platform::SockAddr& addr, int result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto& scripted : m_connectResults) {
        if (scripted.first == addr) {
            scripted.second = result;
            return;
        }
    }
    m_connectResults.emplace_back(addr, result);
}

void FakeSocksSockets::setPendingError(platform::Socket s, int error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pendingErrors[s] = error;
}

std::vector<platform::SockAddr> FakeSocksSockets::connectAddrs() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connectAddrs;
}

int FakeSocksSockets::send(platform::Socket s, const std::uint8_t* data, int len, int& sent) {
    sent = 0;
    if (m_sendResult != 0)
        return m_sendResult;
    const int n = m_sendLimit < 0 ? len : std::min(len, m_sendLimit);
    if (n == 0 && len > 0)
        return platform::kWsaEWouldBlock;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& out = m_sent[s];
    out.insert(out.end(), data, data + n);
    sent = n;
    return 0;
}

int FakeSocksSockets::recv(platform::Socket s, std::uint8_t* data, int len, int& received) {
    received = 0;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& in = m_incoming[s];
    if (in.empty())
        return platform::kWsaEWouldBlock;
    const auto n =
        static_cast<std::size_t>(std::min({len, m_recvChunk, static_cast<int>(in.size())}));
    std::copy(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n), data);
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(n));
    received = static_cast<int>(n);
    return 0;
}

int FakeSocksSockets::shutdownSend(platform::Socket) {
    return 0;
}

int FakeSocksSockets::close(platform::Socket s) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed.push_back(s);
    return 0;
}

int FakeSocksSockets::getAddrInfo(const std::string& node, std::vector<platform::AddrInfo>& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_addrInfoCalls;
    m_lastNode = node;
    if (m_addrInfoResult != 0)
        return m_addrInfoResult;
    out = m_addrInfo;
    return 0;
}

void FakeSocksSockets::queueIncoming(platform::Socket s, const std::vector<std::uint8_t>& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto& in = m_incoming[s];
    in.insert(in.end(), bytes.begin(), bytes.end());
}

std::vector<std::uint8_t> FakeSocksSockets::sentTo(platform::Socket s) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sent.find(s);
    return it == m_sent.end() ? std::vector<std::uint8_t>{} : it->second;
}

std::size_t FakeSocksSockets::sentSize(platform::Socket s) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sent.find(s);
    return it == m_sent.end() ? 0 : it->second.size();
}

std::vector<platform::Socket> FakeSocksSockets::closed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

platform::AddrInfo FakeSocksSockets::v4(std::uint8_t a, std::uint8_t b, std::uint8_t c,
                                        std::uint8_t d) {
    platform::AddrInfo info;
    info.family = platform::kAfInet;
    info.addr.family = platform::kAfInet;
    info.addr.addr = platform::hostToNet32((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) |
                                           (std::uint32_t{c} << 8) | d);
    return info;
}

platform::AddrInfo FakeSocksSockets::v6(std::uint8_t last) {
    platform::AddrInfo info;
    info.family = platform::kAfInet6;
    info.addr.family = platform::kAfInet6;
    info.addr.addr6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, last};
    return info;
}

platform::AddrInfo FakeSocksSockets::other() {
    platform::AddrInfo info;
    info.family = 1;  // AF_UNIX: no address the relay can use
    return info;
}

platform::SockAddr FakeSocksSockets::withPort(const platform::AddrInfo& info, std::uint16_t port) {
    platform::SockAddr addr = info.addr;
    addr.port = platform::hostToNet16(port);
    return addr;
}
