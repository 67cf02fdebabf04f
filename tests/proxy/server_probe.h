// Test access to the relay server's loop steps and internal state.
#pragma once

#include <chrono>
#include <memory>
#include <vector>

#include "proxy/socks_proxy_server.h"

// Parameters for a server under test: the system picks the listening port.
inline ServerParameters testParameters(const std::string& gateway = "",
                                       std::uint16_t gatewayPort = 1080) {
    ServerParameters p;
    p.listenPort = 0;
    p.tarnwicketIpAddr = gateway;
    p.tarnwicketPort = gatewayPort;
    return p;
}

class SocksProxyServerProbe {
public:
    explicit SocksProxyServerProbe(SocksProxyServer& server) : m_server(server) {}

    // The select sets exist only while the loop runs; steps that use them
    // need this first.
    void allocateSets() { m_server.m_sets.allocate(); }
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

    const std::vector<SocketEntry>& readList() const {
        return m_server.m_sets.list(SelectSets::Read);
    }
    const std::vector<SocketEntry>& writeList() const {
        return m_server.m_sets.list(SelectSets::Write);
    }
    const std::vector<SocketEntry>& exceptList() const {
        return m_server.m_sets.list(SelectSets::Except);
    }
    platform::SocketSet& readSet() { return m_server.m_sets.set(SelectSets::Read); }
    platform::SocketSet& writeSet() { return m_server.m_sets.set(SelectSets::Write); }
    platform::SocketSet& exceptSet() { return m_server.m_sets.set(SelectSets::Except); }

    platform::Socket listenSock() const { return m_server.m_listener.sock(); }
    // Stand-ins for the server's own sockets, for the lists (not opened).
    void setListenSock(platform::Socket sock) { m_server.m_listener.m_sock = sock; }
    void setWakeupSockets(platform::Socket writer, platform::Socket reader) {
        m_server.m_wakeup.m_fds = {writer, reader};
    }
    UserInfoWorkers& workers() { return m_server.m_userInfoWorkers; }
    void setUserInformation(UserInformation* users) { m_server.m_userInformation = users; }
    void setStatusPublisher(StatusPublisher* publisher) { m_server.setStatusPublisher(publisher); }
    const std::wstring& organizationName() const { return m_server.m_params.organizationName; }

    void setBackoff(std::chrono::milliseconds min, std::chrono::milliseconds max) {
        m_server.m_backoffMin = min;
        m_server.m_backoffMax = max;
    }

private:
    SocksProxyServer& m_server;
};
