// Finds the process that owns the browser's end of an accepted loopback
// connection, from one snapshot of the machine's IPv4 TCP table.
#pragma once

#include <cstdint>

#include "platform/types.h"

// 0 when the table cannot be read or no row matches.
std::uint32_t getClientSocketPID(const platform::SockAddrIn& listenAddr,
                                 const platform::SockAddrIn& clientAddr);
