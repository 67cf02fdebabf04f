#include "socks/gateway_health.h"

#include <algorithm>
#include <cstring>

#include "platform/clock.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kOperation[] = "SocksProxyServer::connectToTarnwicket()";

}  // namespace

GatewayHealth::GatewayHealth(std::int64_t memory) : m_memory(memory) {}

GatewayHealth::Key GatewayHealth::keyOf(const platform::SockAddr& addr) {
    Key key(2 + 2 + 16);
    std::memcpy(key.data(), &addr.family, 2);
    std::memcpy(key.data() + 2, &addr.port, 2);
    if (addr.family == platform::kAfInet6) {
        std::memcpy(key.data() + 4, addr.addr6.data(), 16);
    } else {
        std::memcpy(key.data() + 4, &addr.addr, 4);
    }
    return key;
}

std::vector<platform::SockAddr> GatewayHealth::order(
    const std::vector<platform::SockAddr>& resolved, std::int64_t now) const {
    std::vector<platform::SockAddr> healthy;
    std::vector<platform::SockAddr> recentlyFailed;
    for (const platform::SockAddr& addr : resolved) {
        const auto known = m_states.find(keyOf(addr));
        const bool avoid =
            known != m_states.end() && known->second.failing && now < known->second.triedLast;
        (avoid ? recentlyFailed : healthy).push_back(addr);
    }
    healthy.insert(healthy.end(), recentlyFailed.begin(), recentlyFailed.end());
    return healthy;
}

void GatewayHealth::failed(const platform::SockAddr& addr, const std::string& reason,
                           std::int64_t now) {
    State& state = m_states[keyOf(addr)];
    state.addr = addr;
    state.lastError = reason;
    state.triedLast = now + m_memory;
    if (state.failing)
        return;
    state.failing = true;
    state.since = now;
    (LogMessage(kOperation) << L", gateway address " << addressText(addr) << L" failed (" << reason
                            << L"), tried after the others for "
                            << static_cast<long long>(m_memory / platform::kTicksPerSecond)
                            << L" seconds")
        .log(kEventTypeWarning);
}

void GatewayHealth::answered(const platform::SockAddr& addr, std::int64_t now) {
    const Key key = keyOf(addr);
    const bool known = m_states.count(key) != 0;
    State& state = m_states[key];
    state.addr = addr;
    state.triedLast = 0;
    if (known && !state.failing)
        return;
    state.since = now;
    if (!state.failing)
        return;
    state.failing = false;
    (LogMessage(kOperation) << L", gateway address " << addressText(addr) << L" answers again")
        .log(kEventTypeInformation);
}

std::vector<GatewayHealth::State> GatewayHealth::states() const {
    std::vector<State> out;
    for (const auto& entry : m_states)
        out.push_back(entry.second);
    return out;
}
