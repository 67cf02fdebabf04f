// The relay's listening sockets: 127.0.0.1:ListenPort, and [::1] on the same
// port beside it where the machine has IPv6.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

// Browsers open connections in bursts (a page load opens dozens): the
// system's largest backlog (the value asks for it on both platforms).
constexpr int kListenBacklog = 0x7FFFFFFF;

class Listener {
public:
    Listener() = default;
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // 127.0.0.1:port; false when the relay cannot listen there (logged).
    bool createListeningSocket(std::uint16_t port);
    // [::1] on the port the IPv4 socket got; without IPv6 the relay listens
    // on IPv4 only (logged).
    void createListeningSocket6();
    void close();

    bool isListening(platform::Socket sock) const {
        return sock != platform::kInvalidSocket && (sock == m_sock || sock == m_sock6);
    }
    // Without non-blocking mode an accept with nothing waiting would block
    // the loop: then one connection is accepted per pass.
    bool nonBlocking(platform::Socket listener) const {
        return listener == m_sock6 || m_nonBlocking;
    }
    // The address a listener is bound to (as bound: ListenPort 0 lets the
    // system choose), which the owner lookup asks for.
    const platform::SockAddr& addressOf(platform::Socket listener) const {
        return listener == m_sock6 ? m_addr6 : m_addr;
    }
    platform::Socket sock() const { return m_sock; }
    platform::Socket sock6() const { return m_sock6; }
    // "127.0.0.1:P", and "[::1]:P" when listening there: as browsers must
    // use them.
    std::vector<std::string> addresses() const;

private:
    friend class SocksProxyServerProbe;

    platform::SockAddr m_addr;
    platform::Socket m_sock = platform::kInvalidSocket;
    platform::SockAddr m_addr6;
    platform::Socket m_sock6 = platform::kInvalidSocket;
    bool m_nonBlocking = false;
};
