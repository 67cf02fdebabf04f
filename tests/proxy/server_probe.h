// Test access to the relay server's loop steps and internal state.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "proxy/socks_proxy_server.h"

class SocksProxyServerProbe {
public:
    explicit SocksProxyServerProbe(SocksProxyServer& server) : m_server(server) {}

    // The select sets exist only while the loop runs; steps that use them
    // need this first.
    void allocateSets() {
        m_server.m_readSet = std::make_unique<platform::SocketSet>();
        m_server.m_writeSet = std::make_unique<platform::SocketSet>();
        m_server.m_exceptSet = std::make_unique<platform::SocketSet>();
    }
    void admitFinishedLookups() { m_server.admitFinishedLookups(); }
    void enforcePairLimit() { m_server.enforcePairLimit(); }
    void applyIdleLimits() { m_server.applyIdleLimits(); }
    void buildSelectLists() { m_server.buildSelectLists(); }
    bool serveReadySockets(int ready) { return m_server.serveReadySockets(ready); }
    void releaseAll() { m_server.releaseAll(); }
    void attemptWritable(ConnPair& cp, platform::Socket s) { m_server.attemptWritable(cp, s); }
    void attemptFailed(ConnPair& cp, platform::Socket s, int error) {
        m_server.attemptFailed(cp, s, error);
    }
    void advanceAttempts(ConnPair& cp, std::int64_t now) {
        m_server.applyDialProgress(cp, cp.m_dialer.advance(now));
    }

    const std::vector<SocketEntry>& readList() const { return m_server.m_readList; }
    const std::vector<SocketEntry>& writeList() const { return m_server.m_writeList; }
    const std::vector<SocketEntry>& exceptList() const { return m_server.m_exceptList; }
    platform::SocketSet& readSet() { return *m_server.m_readSet; }
    platform::SocketSet& writeSet() { return *m_server.m_writeSet; }
    platform::SocketSet& exceptSet() { return *m_server.m_exceptSet; }

    void setBackoff(std::chrono::milliseconds min, std::chrono::milliseconds max) {
        m_server.m_backoffMin = min;
        m_server.m_backoffMax = max;
    }

private:
    SocksProxyServer& m_server;
};
