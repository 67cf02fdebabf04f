// The TCP sockets of this network namespace, every state, from
// NETLINK_SOCK_DIAG: what each connects, and the uid that created it.
#pragma once

#include <cstdint>

#include "platform/posix/tcp_socket_entry.h"

namespace platform {
namespace posix {

// Every socket of the family (kAfInet or kAfInet6). 0 or an errno value; out
// is replaced only on success. The kernel walks its whole connection hash
// for this, which costs milliseconds even when few sockets exist.
int dumpTcpSockets(std::uint16_t family, std::vector<TcpSocketEntry>& out);

// The one socket with exactly these two ends (any state), by a hash lookup
// in the kernel. 0 with found false when there is none, else an errno value.
// An IPv4 lookup finds an IPv6 socket that carries the connection through
// IPv4-mapped addresses; it is then listed as the IPv6 socket it is.
int queryTcpSocket(std::uint16_t family, const TcpOwnerHint& tuple, TcpSocketEntry& out,
                   bool& found);

}  // namespace posix
}  // namespace platform
