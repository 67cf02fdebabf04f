// The relay's state for the status command: a snapshot of the loop's own
// records, taken on the loop thread and handed over in memory. Writing it
// out is the publisher's business, on its own thread.
#include <map>

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "proxy/status_publisher.h"
#include "support/service_names.h"
#include "support/text_conversion.h"

namespace {

// "DOMAIN\name", or empty while (or when) nobody is known.
std::wstring userOf(const ConnPair& cp) {
    const UserInfo& user = cp.m_userInfo;
    if (cp.m_state == WaitingForUserInfo || user.name.empty())
        return std::wstring();
    return user.domain.empty() ? user.name : user.domain + L"\\" + user.name;
}

}  // namespace

void SocksProxyServer::publishStatus() {
    if (m_statusPublisher == nullptr || !m_statusPublisher->snapshotWanted())
        return;
    m_statusPublisher->handOver(takeStatusSnapshot());
}

RelayStatus SocksProxyServer::takeStatusSnapshot() const {
    RelayStatus s;
    s.taken = platform::clock().nowTicks();
    s.version = kProgramVersion;
    s.started = m_startedTicks;
    s.listening = m_listener.addresses();
    s.gatewayName = m_params.tarnwicketIpAddr;
    s.gatewayPort = m_params.tarnwicketPort;
    for (const GatewayHealth::State& state : m_gatewayHealth.states()) {
        s.gatewayAddresses.push_back(GatewayAddressState{addressText(state.addr), !state.failing,
                                                         state.since, state.lastError});
    }
    std::map<std::wstring, UserConnections> users;
    for (const auto& cp : m_connPairs) {
        UserConnections& user = users[userOf(*cp)];
        user.connections++;
        user.bytesToGateway += cp->m_bytesToTarnwicket;
        user.bytesToBrowser += cp->m_bytesToBrowser;
    }
    for (auto& entry : users) {
        entry.second.user = entry.first;
        s.users.push_back(std::move(entry.second));
    }
    s.counters = m_counters;
    return s;
}
