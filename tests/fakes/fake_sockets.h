// The real sockets of this machine, with faults injected on request: calls
// that fail with a chosen error (per socket or for any socket), sends that
// take only part of what they are given, and a record of calls, closes and
// select waits. Safe to use from several threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "platform/sockets.h"

class FakeSockets : public platform::Sockets {
public:
    enum class Op {
        CreateTcp,
        CreateTcp6,
        SetV6Only,
        SetReuseAddr,
        SetNoDelay,
        SetNonBlocking,
        Bind,
        Listen,
        Accept,
        Connect,
        GetSockName,
        GetSocketError,
        Send,
        Recv,
        ShutdownSend,
        Close,
        Select,
        GetAddrInfo,
    };
    // Matches every socket in failNext.
    static constexpr platform::Socket kAnySocket = platform::kInvalidSocket;

    explicit FakeSockets(platform::Sockets& real);

    // The next `times` calls of op (on sock, or on any socket) fail with
    // error and do not reach the real socket; times < 0 means every call
    // until clearFailures. A failed accept or createTcp yields no socket.
    void failNext(Op op, int error, int times = 1, platform::Socket sock = kAnySocket);
    void clearFailures();
    // Each send on sock hands at most maxBytes to the real socket.
    void limitSend(platform::Socket sock, int maxBytes);
    // Called at the start of every select, on the selecting thread.
    void setSelectHook(std::function<void()> hook);

    int calls(Op op) const;
    std::vector<platform::Socket> closed() const;
    std::vector<long> selectTimeouts() const;
    // Waits until op has been called (select: entered) at least n times.
    bool waitForCalls(Op op, int n, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitForSelectCalls(int n, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return waitForCalls(Op::Select, n, timeout);
    }

    int startup() override;
    int cleanup() override;
    int createTcp(platform::Socket& out) override;
    int createTcp6(platform::Socket& out) override;
    int setV6Only(platform::Socket s) override;
    int limitConnectTime(platform::Socket s) override;
    int setReuseAddr(platform::Socket s) override;
    int setNoDelay(platform::Socket s) override;
    int setNonBlocking(platform::Socket s) override;
    int bind(platform::Socket s, const platform::SockAddr& addr) override;
    int listen(platform::Socket s, int backlog) override;
    int accept(platform::Socket s, platform::Socket& out, platform::SockAddr* peer) override;
    int connect(platform::Socket s, const platform::SockAddr& addr) override;
    int getSockName(platform::Socket s, platform::SockAddr& out) override;
    int getSocketError(platform::Socket s, int& pending) override;
    int send(platform::Socket s, const std::uint8_t* data, int len, int& sent) override;
    int recv(platform::Socket s, std::uint8_t* data, int len, int& received) override;
    int shutdownSend(platform::Socket s) override;
    int close(platform::Socket s) override;
    int select(platform::SocketSet* read, platform::SocketSet* write, platform::SocketSet* except,
               long timeoutMicros, int& ready) override;
    int getAddrInfo(const std::string& node, std::vector<platform::AddrInfo>& out) override;

private:
    struct Failure {
        Op op;
        platform::Socket sock;
        int error;
        int times;
    };

    // Counts the call; true (with error set) when an injected failure applies.
    bool injected(Op op, platform::Socket sock, int& error);

    platform::Sockets& m_real;
    mutable std::mutex m_mutex;
    std::condition_variable m_called;
    std::vector<Failure> m_failures;
    std::map<platform::Socket, int> m_sendLimits;
    std::map<Op, int> m_calls;
    std::vector<platform::Socket> m_closed;
    std::vector<long> m_selectTimeouts;
    std::function<void()> m_selectHook;
};
