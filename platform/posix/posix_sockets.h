// BSD sockets behind the Windows Sockets seam. select() is built on epoll:
// an fd_set cannot hold descriptors of 1024 and above, and poll() costs every
// watched socket on every wait, which thousands of idle connections make
// slow. Each thread that selects keeps an epoll instance whose interest list
// follows its select sets by difference.
#pragma once

#include <sys/epoll.h>

#include <chrono>
#include <mutex>
#include <unordered_set>
#include <vector>

#include "platform/posix/connect_states.h"
#include "platform/sockets.h"

namespace platform {

class ThreadPoller;

class PosixSockets : public Sockets {
public:
    int startup() override;
    int cleanup() override;
    int createTcp(Socket& out) override;
    int createTcp6(Socket& out) override;
    int setV6Only(Socket s) override;
    int limitConnectTime(Socket s) override;
    int setReuseAddr(Socket s) override;
    int setNoDelay(Socket s) override;
    int setNonBlocking(Socket s) override;
    int bind(Socket s, const SockAddr& addr) override;
    int listen(Socket s, int backlog) override;
    int accept(Socket s, Socket& out, SockAddr* peer) override;
    int connect(Socket s, const SockAddr& addr) override;
    int getSockName(Socket s, SockAddr& out) override;
    int getSocketError(Socket s, int& pending) override;
    int send(Socket s, const std::uint8_t* data, int len, int& sent) override;
    int recv(Socket s, std::uint8_t* data, int len, int& received) override;
    int shutdownSend(Socket s) override;
    int close(Socket s) override;
    int select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
               int& ready) override;
    int getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) override;

private:
    int createSocket(int family, Socket& out);
    friend class ThreadPoller;

    // Brings the calling thread's interest list in line with its select
    // sets; 0 or a Winsock error.
    int watchCallSockets(ThreadPoller& poller);
    // Applies one event of a wait to the readiness of its socket.
    void serveEvent(ThreadPoller& poller, const epoll_event& event);
    using Deadline = std::chrono::steady_clock::time_point;
    // Waits, the lock released meanwhile, until a socket of the call is
    // ready or the deadline (unless unlimited) has passed; 0 or a Winsock
    // error.
    int waitForReady(ThreadPoller& poller, std::unique_lock<std::mutex>& lock, bool unlimited,
                     Deadline deadline);

    // Guards the connect states and every thread's poller: a socket closed
    // on one thread must leave the interest list of every other.
    std::mutex m_mutex;
    posix::ConnectStates m_connects;
    // Sockets in non-blocking mode, whose accepted sockets inherit it.
    std::unordered_set<Socket> m_nonBlocking;
    std::vector<ThreadPoller*> m_pollers;
};

}  // namespace platform
