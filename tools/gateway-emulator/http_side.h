// The web server behind the gateway's tunnel (and on the emulator's plain
// listener): identity page, deterministic downloads and a hashing sink.
#pragma once

#include <cstdint>
#include <string>

#include "tools/gateway-emulator/identity.h"
#include "tools/gateway-emulator/net_io.h"

namespace emu {

// Serves requests on one connection until it closes or asks to. identity is
// null on the plain listener, where no handshake took place.
void serveHttp(Reader& reader, int fd, const Identity* identity);

// Byte i of the download pattern; exposed for tests of the tool itself.
std::uint8_t patternByte(std::uint64_t offset);

}  // namespace emu
