// One IPv4 TCP socket as the kernel lists it: the row the table reports,
// plus what it takes to find the owning process.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/tcp_table.h"

namespace platform {
namespace posix {

struct TcpSocketEntry {
    TcpRowOwnerPid row{};     // owningPid 0 until resolved
    std::uint32_t uid = 0;    // owner of the socket's file
    std::uint64_t inode = 0;  // 0 for sockets no process holds (TIME_WAIT, orphans)
};

// Linux TCP_* state numbers -> MIB_TCP_STATE; unknown states give CLOSED.
std::uint32_t mibStateFromLinux(unsigned linuxState);

}  // namespace posix
}  // namespace platform
