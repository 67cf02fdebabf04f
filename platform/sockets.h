// Sockets seam: the Windows Sockets 2 calls the relay uses. Every call
// returns 0 on success or a Winsock error number (errors.h); the POSIX
// implementation converts errno in one place.
#pragma once

#include <string>
#include <vector>

#include "platform/socket_set.h"
#include "platform/types.h"

namespace platform {

// One entry of a resolver result; addr is meaningful for kAfInet and
// kAfInet6 (other families are reported with their number only).
struct AddrInfo {
    int family = 0;
    SockAddr addr;
};

class Sockets {
public:
    virtual ~Sockets() = default;

    // WSAStartup(2.2) / WSACleanup.
    virtual int startup();
    virtual int cleanup();

    // socket(AF_INET, SOCK_STREAM, 0), and the same for AF_INET6.
    virtual int createTcp(Socket& out);
    virtual int createTcp6(Socket& out);
    // IPV6_V6ONLY = 1: an IPv6 listener leaves IPv4 to the IPv4 one.
    virtual int setV6Only(Socket s);
    // A connect to an address that never answers ends about as soon as on
    // Windows (about 21 s there); without it Linux retries for two minutes.
    virtual int limitConnectTime(Socket s);
    virtual int setReuseAddr(Socket s);    // SO_REUSEADDR = 1
    virtual int setNoDelay(Socket s);      // TCP_NODELAY = 1
    virtual int setNonBlocking(Socket s);  // FIONBIO = 1
    virtual int bind(Socket s, const SockAddr& addr);
    virtual int listen(Socket s, int backlog);
    // peer may be null (no peer address wanted).
    virtual int accept(Socket s, Socket& out, SockAddr* peer);
    // A non-blocking connect in progress fails with kWsaEWouldBlock.
    virtual int connect(Socket s, const SockAddr& addr);
    virtual int getSockName(Socket s, SockAddr& out);
    // getsockopt(SOL_SOCKET, SO_ERROR); pending is a Winsock error number.
    virtual int getSocketError(Socket s, int& pending);
    // A send never raises a signal.
    virtual int send(Socket s, const std::uint8_t* data, int len, int& sent);
    virtual int recv(Socket s, std::uint8_t* data, int len, int& received);
    virtual int shutdownSend(Socket s);  // shutdown(SD_SEND)
    virtual int close(Socket s);
    // select() over sets of up to SocketSet::kCapacity sockets; absent sets are null. On
    // return each set holds only its ready sockets and ready is their total.
    virtual int select(SocketSet* read, SocketSet* write, SocketSet* except, long timeoutMicros,
                       int& ready);
    // getaddrinfo(node, no service, no hints); entries in resolver order.
    virtual int getAddrInfo(const std::string& node, std::vector<AddrInfo>& out);
};

}  // namespace platform
