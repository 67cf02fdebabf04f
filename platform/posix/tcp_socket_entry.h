// One TCP socket as the kernel lists it, in either family: its two ends,
// its state, the uid that created it, and whether a process still holds it.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/tcp_table.h"
#include "platform/types.h"

namespace platform {
namespace posix {

struct TcpSocketEntry {
    std::uint16_t family = kAfInet;  // as the kernel lists the socket
    // Network byte order; an IPv4 address in the first four bytes.
    std::array<std::uint8_t, 16> localAddr{};
    std::uint32_t localPort = 0;
    std::array<std::uint8_t, 16> remoteAddr{};
    std::uint32_t remotePort = 0;
    std::uint32_t state = 0;  // MIB_TCP_STATE
    std::uint32_t uid = 0;    // the uid that created the socket
    std::uint64_t inode = 0;  // 0 for sockets no process holds (TIME_WAIT, orphans)
};

// Linux TCP_* state numbers -> MIB_TCP_STATE; unknown states give CLOSED.
std::uint32_t mibStateFromLinux(unsigned linuxState);

// The row of `entry` in the table of `family`: an IPv6 socket whose two ends
// are IPv4-mapped carries an IPv4 connection and has an IPv4 row too. False
// when the entry has no row in that table.
bool toRow(const TcpSocketEntry& entry, TcpRowOwner& row);
bool toRow(const TcpSocketEntry& entry, Tcp6RowOwner& row);

// Whether the entry is the connection with exactly these two ends.
bool matches(const TcpSocketEntry& entry, std::uint16_t family, const TcpOwnerHint& hint);

}  // namespace posix
}  // namespace platform
