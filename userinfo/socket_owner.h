// Finds the owner of the browser's end of an accepted loopback connection
// from one snapshot of the machine's TCP table: the process on Windows, the
// uid that created the socket on Linux (platform/tcp_table.h).
#pragma once

#include "platform/tcp_table.h"
#include "platform/types.h"

// False when the table cannot be read or no row matches; both are logged,
// at most once a second each.
bool getClientSocketPID(const platform::SockAddr& listenAddr, const platform::SockAddr& clientAddr,
                        platform::SocketOwner& owner);
