// BSD sockets behind the Windows Sockets seam. select() is built on poll(),
// since an fd_set cannot hold descriptors of 1024 and above.
#pragma once

#include <mutex>
#include <unordered_set>

#include "platform/sockets.h"

namespace platform {

class PosixSockets : public Sockets {
public:
    int startup() override;
    int cleanup() override;
    int createTcp(Socket& out) override;
    int setReuseAddr(Socket s) override;
    int setNoDelay(Socket s) override;
    int setNonBlocking(Socket s) override;
    int bind(Socket s, const SockAddrIn& addr) override;
    int listen(Socket s, int backlog) override;
    int accept(Socket s, Socket& out, SockAddrIn* peer) override;
    int connect(Socket s, const SockAddrIn& addr) override;
    int getSockName(Socket s, SockAddrIn& out) override;
    int getSocketError(Socket s, int& pending) override;
    int send(Socket s, const std::uint8_t* data, int len, int& sent) override;
    int recv(Socket s, std::uint8_t* data, int len, int& received) override;
    int shutdownSend(Socket s) override;
    int close(Socket s) override;
    int select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
               int& ready) override;
    int getAddrInfo(const std::string& node, std::vector<AddrInfo>& out) override;

private:
    // Sockets whose non-blocking connect is in progress or has failed. Winsock
    // reports a failed connect only in the except set, and poll() cannot tell
    // that apart from a reset connection, so the state is tracked here.
    std::mutex m_mutex;
    std::unordered_set<Socket> m_connecting;
};

}  // namespace platform
