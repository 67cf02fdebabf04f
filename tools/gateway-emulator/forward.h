// Forward mode: the CONNECT request is carried out for real, as a gateway
// does, and the tunnel relays bytes both ways with half-closes passed on.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/gateway-emulator/net_io.h"

namespace emu {

// REP values of a CONNECT reply.
enum Rep : std::uint8_t {
    kRepSucceeded = 0,
    kRepGeneralFailure = 1,
    kRepNetworkUnreachable = 3,
    kRepHostUnreachable = 4,
    kRepConnectionRefused = 5,
    kRepCommandNotSupported = 7,
    kRepAddressTypeNotSupported = 8,
};

struct ConnectRequest {
    std::uint8_t command = 0;
    std::uint8_t atyp = 0;
    std::string host;  // dotted IPv4, IPv6 text or a domain name
    std::uint16_t port = 0;
};

// Connects to the requested host and port (names are resolved here, every
// address is tried in turn). Returns the REP for the reply; on success the
// connection is in upstream.
std::uint8_t connectTarget(const ConnectRequest& request, toolnet::Fd& upstream);

// The 10-byte (IPv4) or 22-byte (IPv6) reply: BND is upstream's local
// address when connected, zeros otherwise.
std::vector<std::uint8_t> connectReply(std::uint8_t rep, const toolnet::Fd& upstream);

// Relays until both directions have ended. Bytes the client sent early and
// that sit in its reader go first. The end of one direction's stream shuts
// down sending on the other socket only; an error ends both directions.
void relayBothWays(Reader& clientReader, int clientFd, toolnet::Fd& upstream);

}  // namespace emu
