// The IPv4 and IPv6 TCP tables with owning process ids (IP Helper).
#include <winsock2.h>
#include <ws2tcpip.h>
// After the Winsock headers, which it builds on.
#include <iphlpapi.h>

#include <cstddef>
#include <cstring>

#include "platform/platform.h"

namespace platform {
namespace {

static_assert(sizeof(MIB_TCPROW_OWNER_PID) == sizeof(TcpRowOwner), "row layout");
static_assert(sizeof(MIB_TCP6ROW_OWNER_PID) == sizeof(Tcp6RowOwner), "row layout");
static_assert(offsetof(MIB_TCPTABLE_OWNER_PID, table) == sizeof(std::uint32_t), "table layout");
static_assert(offsetof(MIB_TCP6TABLE_OWNER_PID, table) == sizeof(std::uint32_t), "table layout");

// The bytes a table of `entries` rows occupies, capped at what the buffer holds.
std::uint32_t usedBytes(const std::uint8_t* buffer, std::uint32_t capacity, std::size_t rowSize) {
    if (capacity < sizeof(std::uint32_t))
        return capacity;
    std::uint32_t entries = 0;
    std::memcpy(&entries, buffer, sizeof(entries));
    const std::uint64_t used = sizeof(std::uint32_t) + std::uint64_t(entries) * rowSize;
    return used < capacity ? static_cast<std::uint32_t>(used) : capacity;
}

class Win32TcpTable : public TcpTable {
public:
    // Every row carries its owner here, so the hint is not needed.
    std::uint32_t getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                      std::uint32_t& size, const TcpOwnerHint*) override {
        const bool v6 = family == kAfInet6;
        DWORD tableSize = size;
        const DWORD rc = ::GetExtendedTcpTable(buffer, &tableSize, FALSE, v6 ? AF_INET6 : AF_INET,
                                               TCP_TABLE_OWNER_PID_ALL, 0);
        if (rc == NO_ERROR && buffer != nullptr) {
            size = usedBytes(buffer, size, v6 ? sizeof(Tcp6RowOwner) : sizeof(TcpRowOwner));
        } else {
            size = tableSize;
        }
        return rc;
    }
};

}  // namespace

TcpTable& nativeTcpTable() {
    static Win32TcpTable g_instance;
    return g_instance;
}

}  // namespace platform
