// TCP table seam: GetExtendedTcpTable(AF_INET, TCP_TABLE_OWNER_PID_ALL).
#pragma once

#include <cstdint>

namespace platform {

// MIB_TCPROW_OWNER_PID: addresses and ports in network byte order, a port
// in a whole 32-bit field.
struct TcpRowOwnerPid {
    std::uint32_t state;
    std::uint32_t localAddr;
    std::uint32_t localPort;
    std::uint32_t remoteAddr;
    std::uint32_t remotePort;
    std::uint32_t owningPid;
};
static_assert(sizeof(TcpRowOwnerPid) == 24, "row layout");

// The row whose owner the caller is after. Implementations that must search
// for owners (POSIX) may resolve the owning pid for matching rows only and
// report 0 for the others; Windows fills every row.
struct TcpOwnerHint {
    std::uint32_t localAddr;
    std::uint32_t localPort;
    std::uint32_t remoteAddr;
    std::uint32_t remotePort;
};

class TcpTable {
public:
    virtual ~TcpTable() = default;
    // Table layout: uint32 dwNumEntries, then the rows. With buffer null or
    // size too small returns kErrorInsufficientBuffer and sets size to the
    // size needed; on success returns 0 and sets size to the bytes written.
    virtual std::uint32_t getExtendedTcpTable(std::uint8_t* buffer, std::uint32_t& size,
                                              const TcpOwnerHint* hint);
};

}  // namespace platform
