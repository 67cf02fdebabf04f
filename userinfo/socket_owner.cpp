#include "userinfo/socket_owner.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"

namespace {

constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t);
constexpr std::size_t kRowBytes = sizeof(platform::TcpRowOwnerPid);

// The browser's own socket: its local end is the browser's address, its
// remote end the relay's listening address. Ports are compared as whole
// 32-bit fields, so stray high bits never match.
bool rowMatches(const platform::TcpRowOwnerPid& row, const platform::TcpOwnerHint& wanted) {
    return row.localAddr == wanted.localAddr && row.localPort == wanted.localPort &&
           row.remoteAddr == wanted.remoteAddr && row.remotePort == wanted.remotePort;
}

// Walks only the bytes the platform reported and that the buffer holds,
// whatever the row count in the header claims.
std::uint32_t findOwner(const std::vector<std::uint8_t>& buffer, std::uint32_t size,
                        const platform::TcpOwnerHint& wanted) {
    const std::size_t available = std::min<std::size_t>(size, buffer.size());
    if (available < kHeaderBytes)
        return 0;
    std::uint32_t claimed = 0;
    std::memcpy(&claimed, buffer.data(), kHeaderBytes);
    const std::size_t rows = std::min<std::size_t>(claimed, (available - kHeaderBytes) / kRowBytes);
    for (std::size_t i = 0; i < rows; ++i) {
        platform::TcpRowOwnerPid row;
        std::memcpy(&row, buffer.data() + kHeaderBytes + i * kRowBytes, kRowBytes);
        if (rowMatches(row, wanted))
            return row.owningPid;
    }
    return 0;
}

// Out of descriptors, say, every connection fails to read the table the same
// way: one message a second tells it without flooding the log.
bool tableFailureLogDue() {
    constexpr std::int64_t kTicksPerSecond = 10000000;
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::min();
    static std::atomic<std::int64_t> g_lastLogged{kNever};
    const std::int64_t now = platform::clock().nowTicks();
    std::int64_t last = g_lastLogged.load();
    if (last != kNever && now >= last && now - last < kTicksPerSecond)
        return false;
    return g_lastLogged.compare_exchange_strong(last, now);
}

}  // namespace

std::uint32_t getClientSocketPID(const platform::SockAddrIn& listenAddr,
                                 const platform::SockAddrIn& clientAddr) {
    const platform::TcpOwnerHint wanted{clientAddr.addr, std::uint32_t{clientAddr.port},
                                        listenAddr.addr, std::uint32_t{listenAddr.port}};
    platform::TcpTable& table = platform::tcpTable();

    std::vector<std::uint8_t> buffer;
    std::uint32_t size = 0;
    std::uint32_t rc = table.getExtendedTcpTable(nullptr, size, &wanted);
    if (rc != platform::kErrorSuccess && rc != platform::kErrorInsufficientBuffer) {
        if (tableFailureLogDue()) {
            (LogMessage("getClientSocketPID()") << L", GetExtendedTcpTable() returned " << rc)
                .log();
        }
        return 0;
    }
    // The table can grow between two calls: fetch again until it fits.
    while (rc == platform::kErrorInsufficientBuffer) {
        buffer.resize(size);
        rc = table.getExtendedTcpTable(buffer.empty() ? nullptr : buffer.data(), size, &wanted);
    }
    if (rc != platform::kErrorSuccess)
        return 0;
    if (size == 0) {
        (LogMessage("getClientSocketPID()")
         << L", GetExtendedTcpTable() returned empty tcptable" << rc)
            .log();
        return 0;
    }
    return findOwner(buffer, size, wanted);
}
