#include "platform/posix/tcp_socket_entry.h"

#include <cstring>

namespace platform {
namespace posix {
namespace {

bool isV4Mapped(const std::array<std::uint8_t, 16>& addr) {
    static const std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(addr.data(), kPrefix, sizeof kPrefix) == 0;
}

// The entry's addresses in the form the table of `family` holds them; false
// when they have none there.
bool addressesIn(const TcpSocketEntry& entry, std::uint16_t family,
                 std::array<std::uint8_t, 16>& local, std::array<std::uint8_t, 16>& remote) {
    local = entry.localAddr;
    remote = entry.remoteAddr;
    if (family == entry.family)
        return true;
    if (family != kAfInet || !isV4Mapped(local) || !isV4Mapped(remote))
        return false;
    local = {};
    remote = {};
    std::memcpy(local.data(), entry.localAddr.data() + 12, 4);
    std::memcpy(remote.data(), entry.remoteAddr.data() + 12, 4);
    return true;
}

}  // namespace

std::uint32_t mibStateFromLinux(unsigned linuxState) {
    // Indexed by the kernel's TCP_ESTABLISHED (1) .. TCP_NEW_SYN_RECV (12).
    static const std::uint32_t kMib[] = {
        1,   // 0: not a state
        5,   // ESTABLISHED
        3,   // SYN_SENT
        4,   // SYN_RECV
        6,   // FIN_WAIT1
        7,   // FIN_WAIT2
        11,  // TIME_WAIT
        1,   // CLOSE
        8,   // CLOSE_WAIT
        10,  // LAST_ACK
        2,   // LISTEN
        9,   // CLOSING
        4,   // NEW_SYN_RECV: a connection request not yet accepted
    };
    return linuxState < sizeof kMib / sizeof kMib[0] ? kMib[linuxState] : 1;
}

bool toRow(const TcpSocketEntry& entry, TcpRowOwner& row) {
    std::array<std::uint8_t, 16> local;
    std::array<std::uint8_t, 16> remote;
    if (!addressesIn(entry, kAfInet, local, remote))
        return false;
    row.state = entry.state;
    std::memcpy(&row.localAddr, local.data(), 4);
    row.localPort = entry.localPort;
    std::memcpy(&row.remoteAddr, remote.data(), 4);
    row.remotePort = entry.remotePort;
    row.owner = entry.uid;
    return true;
}

bool toRow(const TcpSocketEntry& entry, Tcp6RowOwner& row) {
    if (entry.family != kAfInet6)
        return false;
    std::memset(&row, 0, sizeof row);
    std::memcpy(row.localAddr, entry.localAddr.data(), 16);
    row.localPort = entry.localPort;
    std::memcpy(row.remoteAddr, entry.remoteAddr.data(), 16);
    row.remotePort = entry.remotePort;
    row.state = entry.state;
    row.owner = entry.uid;
    return true;
}

bool matches(const TcpSocketEntry& entry, std::uint16_t family, const TcpOwnerHint& hint) {
    if (family == kAfInet) {
        TcpRowOwner row;
        return toRow(entry, row) && rowMatches(row, hint);
    }
    Tcp6RowOwner row;
    return family == kAfInet6 && toRow(entry, row) && rowMatches(row, hint);
}

}  // namespace posix
}  // namespace platform
