// Resolving the gateway's name, afresh for every connection, on the
// connection's lookup thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

struct GatewayAddresses {
    // Every IPv4 and IPv6 address, each once, in the resolver's order, with
    // the gateway's port: gateways come in pairs behind one name, and the
    // relay tries the next when one fails.
    std::vector<platform::SockAddr> addresses;
    // After a failure: the text of the browser's error page.
    std::string errorText;
};

// An address written out: four decimal numbers up to 255 with dots between,
// or IPv6 hex groups with colons. Resolving it asks no name service.
bool isAddressLiteral(const std::string& host);

// False after a logged failure, with errorText set.
bool resolveTarnwicketAddress(const std::string& host, std::uint16_t port, GatewayAddresses& out);
