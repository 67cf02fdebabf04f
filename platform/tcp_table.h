// TCP table seam: the machine's TCP connections with the owner of each, in
// the layouts and with the size protocol of GetExtendedTcpTable with
// TCP_TABLE_OWNER_PID_ALL, for IPv4 and for IPv6.
//
// The owner is what the kernel recorded when the socket was created, and no
// user can change it afterwards: the owning process id on Windows, the uid
// that created the socket on Linux. Linux leaves out the rows of sockets that
// have no owner any more (TIME_WAIT), which would otherwise read as uid 0;
// on Windows such rows carry process id 0, which no process answers to.
#pragma once

#include <array>
#include <cstdint>

namespace platform {

using SocketOwner = std::uint32_t;

// MIB_TCPROW_OWNER_PID: addresses and ports in network byte order, a port
// in a whole 32-bit field.
struct TcpRowOwner {
    std::uint32_t state;
    std::uint32_t localAddr;
    std::uint32_t localPort;
    std::uint32_t remoteAddr;
    std::uint32_t remotePort;
    std::uint32_t owner;
};
static_assert(sizeof(TcpRowOwner) == 24, "row layout");

// MIB_TCP6ROW_OWNER_PID, with the same conventions.
struct Tcp6RowOwner {
    std::uint8_t localAddr[16];
    std::uint32_t localScopeId;
    std::uint32_t localPort;
    std::uint8_t remoteAddr[16];
    std::uint32_t remoteScopeId;
    std::uint32_t remotePort;
    std::uint32_t state;
    std::uint32_t owner;
};
static_assert(sizeof(Tcp6RowOwner) == 56, "row layout");

// The connection whose owner the caller is after, as the browser's side sees
// it. In the IPv4 table the addresses are the first four bytes.
// Implementations may list only the rows that can match it; Windows lists
// every row.
struct TcpOwnerHint {
    std::array<std::uint8_t, 16> localAddr{};
    std::uint32_t localPort = 0;
    std::array<std::uint8_t, 16> remoteAddr{};
    std::uint32_t remotePort = 0;
};

// Whether the row is the connection with exactly the hint's two ends. Ports
// are compared as whole 32-bit fields, so stray high bits never match.
bool rowMatches(const TcpRowOwner& row, const TcpOwnerHint& hint);
bool rowMatches(const Tcp6RowOwner& row, const TcpOwnerHint& hint);

class TcpTable {
public:
    virtual ~TcpTable() = default;
    // family kAfInet: uint32 dwNumEntries, then TcpRowOwner rows; kAfInet6:
    // the same with Tcp6RowOwner rows. With buffer null or size too small
    // returns kErrorInsufficientBuffer and sets size to the size needed; on
    // success returns 0 and sets size to the bytes written.
    virtual std::uint32_t getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                              std::uint32_t& size, const TcpOwnerHint* hint);
    // Whether a lookup with a hint costs the same however many connections
    // the machine has (an exact lookup in the kernel), rather than a whole
    // snapshot of the table.
    virtual bool answersExactly() const { return false; }
};

}  // namespace platform
