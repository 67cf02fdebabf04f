// The gateway's side of the SOCKS5 exchange: greeting, identity
// subnegotiation and CONNECT, with replies that can be bent to exercise the
// relay's error handling.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/tool_net.h"
#include "tools/gateway-emulator/identity.h"
#include "tools/gateway-emulator/net_io.h"

namespace emu {

enum class Stage { None, Greeting, Auth, Connect };

struct SocksBehaviour {
    std::uint8_t methodVersion = 5;
    std::uint8_t method = 0x80;
    std::uint8_t authVersion = 1;
    std::uint8_t authStatus = 0;  // 0 accept, 1 reject + text, 2 accept + text
    std::string diagnostic;       // text sent with status 1 and 2
    std::uint8_t replyVersion = 5;
    std::uint8_t rep = 0;
    std::uint8_t replyRsv = 0;
    std::uint8_t atyp = 1;
    Stage silentAfter = Stage::None;  // read this message, then never answer
    Stage closeAfter = Stage::None;   // read this message, then close
    bool splitReplies = false;        // every reply byte in its own segment
    unsigned splitPauseMicros = 2000;
    bool forward = false;  // CONNECT reaches the requested address; the reply is a real one
};

// Runs the handshake on an accepted connection. True when the tunnel is
// open: HTTP follows, or in forward mode the relay to upstream, which then
// holds the connection to the requested address. False when the connection
// should be closed.
bool runSocksHandshake(Reader& reader, int fd, const SocksBehaviour& behaviour, Identity& identity,
                       IdentityLog& log, const std::string& peer, toolnet::Fd& upstream);

}  // namespace emu
