#include "tests/fakes/fake_sockets.h"

#include <algorithm>

FakeSockets::FakeSockets(platform::Sockets& real) : m_real(real) {}

void FakeSockets::failNext(Op op, int error, int times, platform::Socket sock) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures.push_back({op, sock, error, times});
}

void FakeSockets::clearFailures() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failures.clear();
}

void FakeSockets::limitSend(platform::Socket sock, int maxBytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sendLimits[sock] = maxBytes;
}

void FakeSockets::setSelectHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_selectHook = std::move(hook);
}

int FakeSockets::calls(Op op) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_calls.find(op);
    return it == m_calls.end() ? 0 : it->second;
}

std::vector<platform::Socket> FakeSockets::closed() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_closed;
}

std::vector<long> FakeSockets::selectTimeouts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_selectTimeouts;
}

bool FakeSockets::waitForCalls(Op op, int n, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_called.wait_for(lock, timeout, [&] { return m_calls[op] >= n; });
}

bool FakeSockets::injected(Op op, platform::Socket sock, int& error) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_calls[op];
    m_called.notify_all();
    for (auto it = m_failures.begin(); it != m_failures.end(); ++it) {
        if (it->op != op || (it->sock != kAnySocket && it->sock != sock))
            continue;
        error = it->error;
        if (it->times > 0 && --it->times == 0)
            m_failures.erase(it);
        return true;
    }
    return false;
}

int FakeSockets::startup() {
    return m_real.startup();
}
int FakeSockets::cleanup() {
    return m_real.cleanup();
}

int FakeSockets::createTcp(platform::Socket& out) {
    int error = 0;
    if (injected(Op::CreateTcp, kAnySocket, error)) {
        out = platform::kInvalidSocket;
        return error;
    }
    return m_real.createTcp(out);
}

int FakeSockets::createTcp6(platform::Socket& out) {
    int error = 0;
    if (injected(Op::CreateTcp6, kAnySocket, error)) {
        out = platform::kInvalidSocket;
        return error;
    }
    return m_real.createTcp6(out);
}

int FakeSockets::setV6Only(platform::Socket s) {
    int error = 0;
    return injected(Op::SetV6Only, s, error) ? error : m_real.setV6Only(s);
}

int FakeSockets::limitConnectTime(platform::Socket s) {
    return m_real.limitConnectTime(s);
}

int FakeSockets::setReuseAddr(platform::Socket s) {
    int error = 0;
    return injected(Op::SetReuseAddr, s, error) ? error : m_real.setReuseAddr(s);
}

int FakeSockets::setNoDelay(platform::Socket s) {
    int error = 0;
    return injected(Op::SetNoDelay, s, error) ? error : m_real.setNoDelay(s);
}

int FakeSockets::setNonBlocking(platform::Socket s) {
    int error = 0;
    return injected(Op::SetNonBlocking, s, error) ? error : m_real.setNonBlocking(s);
}

int FakeSockets::bind(platform::Socket s, const platform::SockAddr& addr) {
    int error = 0;
    return injected(Op::Bind, s, error) ? error : m_real.bind(s, addr);
}

int FakeSockets::listen(platform::Socket s, int backlog) {
    int error = 0;
    return injected(Op::Listen, s, error) ? error : m_real.listen(s, backlog);
}

int FakeSockets::accept(platform::Socket s, platform::Socket& out, platform::SockAddr* peer) {
    int error = 0;
    if (injected(Op::Accept, s, error)) {
        out = platform::kInvalidSocket;
        return error;
    }
    return m_real.accept(s, out, peer);
}

int FakeSockets::connect(platform::Socket s, const platform::SockAddr& addr) {
    int error = 0;
    return injected(Op::Connect, s, error) ? error : m_real.connect(s, addr);
}

int FakeSockets::getSockName(platform::Socket s, platform::SockAddr& out) {
    int error = 0;
    return injected(Op::GetSockName, s, error) ? error : m_real.getSockName(s, out);
}

int FakeSockets::getSocketError(platform::Socket s, int& pending) {
    int error = 0;
    if (injected(Op::GetSocketError, s, error)) {
        pending = 0;
        return error;
    }
    return m_real.getSocketError(s, pending);
}

int FakeSockets::send(platform::Socket s, const std::uint8_t* data, int len, int& sent) {
    int error = 0;
    if (injected(Op::Send, s, error)) {
        sent = 0;
        return error;
    }
    int limit = len;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_sendLimits.find(s);
        if (it != m_sendLimits.end())
            limit = std::min(len, it->second);
    }
    return m_real.send(s, data, limit, sent);
}

int FakeSockets::recv(platform::Socket s, std::uint8_t* data, int len, int& received) {
    int error = 0;
    if (injected(Op::Recv, s, error)) {
        received = 0;
        return error;
    }
    return m_real.recv(s, data, len, received);
}

int FakeSockets::shutdownSend(platform::Socket s) {
    int error = 0;
    return injected(Op::ShutdownSend, s, error) ? error : m_real.shutdownSend(s);
}

int FakeSockets::close(platform::Socket s) {
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed.push_back(s);
    }
    return injected(Op::Close, s, error) ? error : m_real.close(s);
}

int FakeSockets::select(platform::SocketSet* read, platform::SocketSet* write,
                        platform::SocketSet* except, long timeoutMicros, int& ready) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_selectTimeouts.push_back(timeoutMicros);
        hook = m_selectHook;
    }
    if (hook)
        hook();
    int error = 0;
    const bool failed = injected(Op::Select, kAnySocket, error);
    if (failed) {
        ready = 0;
        return error;
    }
    return m_real.select(read, write, except, timeoutMicros, ready);
}

int FakeSockets::getAddrInfo(const std::string& node, std::vector<platform::AddrInfo>& out) {
    int error = 0;
    return injected(Op::GetAddrInfo, kAnySocket, error) ? error : m_real.getAddrInfo(node, out);
}
