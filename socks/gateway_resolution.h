// Resolving the gateway's name, afresh for every connection, on the
// connection's lookup thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

struct GatewayAddress {
    // The first IPv4 address, with the gateway's port.
    std::array<std::uint8_t, 128> addr{};
    std::int32_t addrLen = 0;
    // After a failure: the text of the browser's error page.
    std::string errorText;
};

// False after a logged failure, with errorText set.
bool resolveTarnwicketAddress(const std::string& host, std::uint16_t port, GatewayAddress& out);
