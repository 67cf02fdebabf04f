#include "platform/tcp_table.h"

#include <cstring>

namespace platform {

bool rowMatches(const TcpRowOwner& row, const TcpOwnerHint& hint) {
    return std::memcmp(&row.localAddr, hint.localAddr.data(), 4) == 0 &&
           row.localPort == hint.localPort &&
           std::memcmp(&row.remoteAddr, hint.remoteAddr.data(), 4) == 0 &&
           row.remotePort == hint.remotePort;
}

bool rowMatches(const Tcp6RowOwner& row, const TcpOwnerHint& hint) {
    return std::memcmp(row.localAddr, hint.localAddr.data(), 16) == 0 &&
           row.localPort == hint.localPort &&
           std::memcmp(row.remoteAddr, hint.remoteAddr.data(), 16) == 0 &&
           row.remotePort == hint.remotePort;
}

}  // namespace platform
