// What the relay remembers of the gateway's addresses. One that failed is
// tried after the others for a while, so that each connection does not wait
// for a dead gateway first; its failing and its answering again are each
// said once, not once per connection. Used on the loop thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/types.h"

class GatewayHealth {
public:
    // What is known of one address, for the status view.
    struct State {
        platform::SockAddr addr;
        bool failing = false;
        std::int64_t since = 0;      // ticks: when it started failing or answering
        std::int64_t triedLast = 0;  // ticks: until then it comes after the others
        std::string lastError;       // why it failed last, empty if never
    };

    // `memory`: how long a failed address comes after the others, in ticks.
    explicit GatewayHealth(std::int64_t memory);

    // The addresses in the order to try them: those that have not failed
    // lately in the resolver's order, then the others in the same order.
    std::vector<platform::SockAddr> order(const std::vector<platform::SockAddr>& resolved,
                                          std::int64_t now) const;
    // An attempt on `addr` failed for `reason` ("connection refused").
    void failed(const platform::SockAddr& addr, const std::string& reason, std::int64_t now);
    // A connection to `addr` was made.
    void answered(const platform::SockAddr& addr, std::int64_t now);

    std::vector<State> states() const;

private:
    using Key = std::vector<std::uint8_t>;
    static Key keyOf(const platform::SockAddr& addr);

    std::int64_t m_memory;
    std::map<Key, State> m_states;
};
