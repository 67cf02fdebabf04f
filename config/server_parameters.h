// The five service parameters as the relay server keeps them, with their
// built-in defaults.
#pragma once

#include <cstdint>
#include <string>

// The registry holds SocketTimeout as a DWORD, and the relay's idle limit is
// a signed 32-bit count of seconds: a value beyond it (0xFFFFFFFF, written to
// mean "never") means the longest limit, not a negative one.
constexpr std::uint32_t kLongestSocketTimeout = 0x7FFFFFFF;

struct ServerParameters {
    std::uint16_t listenPort = 8080;
    std::string tarnwicketIpAddr;
    std::uint16_t tarnwicketPort = 1080;
    std::wstring organizationName;
    std::uint32_t socketTimeout = 600;
};

// Reads OrganizationName, TarnwicketIpAddr, TarnwicketPort, ListenPort and
// SocketTimeout, in that order, into p. A value that cannot be read is
// logged and leaves its field as it was. Throws std::invalid_argument or
// std::out_of_range for a TarnwicketPort text that is not a number, and
// std::logic_error when the gateway address cannot be converted to UTF-8.
void readServerParameters(ServerParameters& p);
