// The IPv4 TCP sockets of this network namespace, every state, from a
// NETLINK_SOCK_DIAG dump.
#pragma once

#include "platform/posix/tcp_socket_entry.h"

namespace platform {
namespace posix {

// 0 or an errno value; out is replaced only on success. The kernel walks
// its whole connection hash for this, which costs milliseconds even when
// few sockets exist.
int dumpTcp4Sockets(std::vector<TcpSocketEntry>& out);

// The one socket with exactly these two ends (any state), by a hash lookup
// in the kernel. 0 with found false when there is none, else an errno value.
int queryTcp4Socket(const TcpOwnerHint& tuple, TcpSocketEntry& out, bool& found);

}  // namespace posix
}  // namespace platform
