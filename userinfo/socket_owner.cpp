#include "userinfo/socket_owner.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t);
const char kOperation[] = "getClientSocketPID()";

// Walks only the bytes the platform reported and that the buffer holds,
// whatever the row count in the header claims.
template <typename Row>
bool findOwner(const std::vector<std::uint8_t>& buffer, std::uint32_t size,
               const platform::TcpOwnerHint& wanted, platform::SocketOwner& owner) {
    const std::size_t available = std::min<std::size_t>(size, buffer.size());
    if (available < kHeaderBytes)
        return false;
    std::uint32_t claimed = 0;
    std::memcpy(&claimed, buffer.data(), kHeaderBytes);
    const std::size_t rows =
        std::min<std::size_t>(claimed, (available - kHeaderBytes) / sizeof(Row));
    for (std::size_t i = 0; i < rows; ++i) {
        Row row;
        std::memcpy(&row, buffer.data() + kHeaderBytes + i * sizeof(Row), sizeof(Row));
        // The browser's own socket: its local end is the browser's address,
        // its remote end the relay's listening address.
        if (platform::rowMatches(row, wanted)) {
            owner = row.owner;
            return true;
        }
    }
    return false;
}

// Out of descriptors, say, every connection fails to read the table the same
// way; a browser can make every connection miss its row.
MessageRateLimit g_tableFailureLimit;
MessageRateLimit g_emptyTableLimit;
MessageRateLimit g_noOwnerLimit;

// One snapshot of the table of `family`; false when it cannot be read (the
// failure has been logged where the table says so).
bool readTable(std::uint16_t family, const platform::TcpOwnerHint& wanted,
               std::vector<std::uint8_t>& buffer, std::uint32_t& size) {
    platform::TcpTable& table = platform::tcpTable();
    size = 0;
    std::uint32_t rc = table.getExtendedTcpTable(family, nullptr, size, &wanted);
    if (rc != platform::kErrorSuccess && rc != platform::kErrorInsufficientBuffer) {
        (LogMessage(kOperation) << L", GetExtendedTcpTable() returned " << rc)
            .log(g_tableFailureLimit);
        return false;
    }
    // The table can grow between two calls: fetch again until it fits.
    while (rc == platform::kErrorInsufficientBuffer) {
        buffer.resize(size);
        rc = table.getExtendedTcpTable(family, buffer.empty() ? nullptr : buffer.data(), size,
                                       &wanted);
    }
    if (rc != platform::kErrorSuccess)
        return false;
    if (size == 0) {
        (LogMessage(kOperation) << L", GetExtendedTcpTable() returned empty tcptable" << rc)
            .log(g_emptyTableLimit);
        return false;
    }
    return true;
}

template <typename Row>
bool lookUp(std::uint16_t family, const platform::TcpOwnerHint& wanted,
            platform::SocketOwner& owner, bool& readable) {
    std::vector<std::uint8_t> buffer;
    std::uint32_t size = 0;
    readable = readTable(family, wanted, buffer, size);
    return readable && findOwner<Row>(buffer, size, wanted, owner);
}

// ::ffff:a.b.c.d, the form in which an IPv6 socket holds an IPv4 address.
std::array<std::uint8_t, 16> mappedAddress(std::uint32_t v4) {
    std::array<std::uint8_t, 16> out{};
    out[10] = 0xFF;
    out[11] = 0xFF;
    std::memcpy(out.data() + 12, &v4, 4);
    return out;
}

// The browser's row in the table of the connection's family.
platform::TcpOwnerHint hintFor(const platform::SockAddr& listenAddr,
                               const platform::SockAddr& clientAddr) {
    platform::TcpOwnerHint wanted;
    if (clientAddr.family == platform::kAfInet6) {
        wanted.localAddr = clientAddr.addr6;
        wanted.remoteAddr = listenAddr.addr6;
    } else {
        std::memcpy(wanted.localAddr.data(), &clientAddr.addr, 4);
        std::memcpy(wanted.remoteAddr.data(), &listenAddr.addr, 4);
    }
    wanted.localPort = clientAddr.port;
    wanted.remotePort = listenAddr.port;
    return wanted;
}

// The owner of a connection to the IPv4 listener: from the IPv4 table, or,
// for a browser whose socket is IPv6 and reaches the IPv4 listener through
// IPv4-mapped addresses, from the IPv6 table.
bool lookUpIpv4(const platform::SockAddr& listenAddr, const platform::SockAddr& clientAddr,
                platform::SocketOwner& owner, bool& readable) {
    platform::TcpOwnerHint wanted = hintFor(listenAddr, clientAddr);
    if (lookUp<platform::TcpRowOwner>(platform::kAfInet, wanted, owner, readable))
        return true;
    if (!readable)
        return false;
    wanted.localAddr = mappedAddress(clientAddr.addr);
    wanted.remoteAddr = mappedAddress(listenAddr.addr);
    return lookUp<platform::Tcp6RowOwner>(platform::kAfInet6, wanted, owner, readable);
}

}  // namespace

bool getClientSocketPID(const platform::SockAddr& listenAddr, const platform::SockAddr& clientAddr,
                        platform::SocketOwner& owner) {
    bool readable = false;
    const bool found =
        clientAddr.family == platform::kAfInet6
            ? lookUp<platform::Tcp6RowOwner>(platform::kAfInet6, hintFor(listenAddr, clientAddr),
                                             owner, readable)
            : lookUpIpv4(listenAddr, clientAddr, owner, readable);
    if (found)
        return true;
    if (readable) {
        (LogMessage(kOperation) << L", no owner found for the connection from "
                                << addressText(clientAddr) << L" to " << addressText(listenAddr))
            .log(g_noOwnerLimit, kEventTypeWarning);
    }
    return false;
}
