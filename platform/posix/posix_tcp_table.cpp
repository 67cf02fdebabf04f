#include "platform/posix/posix_tcp_table.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/inet_diag.h"
#include "platform/posix/proc_net_tcp.h"

namespace platform {
namespace {

using posix::TcpSocketEntry;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t);

struct PendingSnapshot {
    std::uint64_t owner = 0;  // the table's instance number; 0: none
    std::uint16_t family = 0;
    std::vector<TcpSocketEntry> rows;
    SteadyClock::time_point taken;
};

thread_local PendingSnapshot t_pending;

// The entries that have a row in the table: the socket still held, so its
// owner stands.
void dropOwnerless(std::vector<TcpSocketEntry>& rows) {
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const TcpSocketEntry& e) { return e.inode == 0; }),
               rows.end());
}

template <typename Row>
std::vector<Row> tableRows(const std::vector<TcpSocketEntry>& entries) {
    std::vector<Row> rows;
    rows.reserve(entries.size());
    for (const TcpSocketEntry& e : entries) {
        Row row;
        if (posix::toRow(e, row))
            rows.push_back(row);
    }
    return rows;
}

// Writes the table, or says how large it is: the size protocol.
template <typename Row>
std::uint32_t writeTable(const std::vector<TcpSocketEntry>& entries, std::uint8_t* buffer,
                         std::uint32_t& size, bool& tooSmall) {
    const std::vector<Row> rows = tableRows<Row>(entries);
    tooSmall = false;
    if (rows.size() > (0xFFFFFFFFu - kHeaderBytes) / sizeof(Row))
        return kErrorNotEnoughMemory;
    const auto needed = static_cast<std::uint32_t>(kHeaderBytes + rows.size() * sizeof(Row));
    if (buffer == nullptr || size < needed) {
        size = needed;
        tooSmall = true;
        return kErrorInsufficientBuffer;
    }
    const auto count = static_cast<std::uint32_t>(rows.size());
    std::memcpy(buffer, &count, kHeaderBytes);
    if (!rows.empty())
        std::memcpy(buffer + kHeaderBytes, rows.data(), rows.size() * sizeof(Row));
    size = needed;
    return kErrorSuccess;
}

}  // namespace

std::uint32_t PosixTcpTable::getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                                 std::uint32_t& size, const TcpOwnerHint* hint) {
    if (family != kAfInet && family != kAfInet6)
        return kErrorInvalidParameter;
    std::vector<TcpSocketEntry> rows;
    const bool reuse = buffer != nullptr && t_pending.owner == m_instance &&
                       t_pending.family == family &&
                       SteadyClock::now() - t_pending.taken <= m_snapshotMaxAge;
    if (reuse)
        rows.swap(t_pending.rows);
    t_pending.owner = 0;
    t_pending.rows.clear();

    if (!reuse) {
        if (const int err = readRows(family, hint, rows))
            return win32ErrorFromErrno(err);
        dropOwnerless(rows);
    }
    bool tooSmall = false;
    const std::uint32_t rc = family == kAfInet
                                 ? writeTable<TcpRowOwner>(rows, buffer, size, tooSmall)
                                 : writeTable<Tcp6RowOwner>(rows, buffer, size, tooSmall);
    if (tooSmall) {
        t_pending.owner = m_instance;
        t_pending.family = family;
        t_pending.rows.swap(rows);
        t_pending.taken = SteadyClock::now();
    }
    return rc;
}

int PosixTcpTable::readAllRows(std::uint16_t family, std::vector<TcpSocketEntry>& rows) const {
    if (m_useNetlink && posix::dumpTcpSockets(family, rows) == 0)
        return 0;
    return posix::readProcNetTcp(family == kAfInet6 ? m_procNetTcp6Path : m_procNetTcpPath, family,
                                 rows);
}

int PosixTcpTable::readRows(std::uint16_t family, const TcpOwnerHint* hint,
                            std::vector<TcpSocketEntry>& rows) const {
    if (hint == nullptr)
        return readAllRows(family, rows);
    rows.clear();
    if (m_useNetlink) {
        TcpSocketEntry hinted;
        bool found = false;
        const int err = posix::queryTcpSocket(family, *hint, hinted, found);
        if (err == 0) {
            if (found)
                rows.push_back(hinted);
            return 0;
        }
        // Kernels without the exact lookup fall back to a full read below.
        if (err == EPROTONOSUPPORT || err == EAFNOSUPPORT || err == EOPNOTSUPP)
            m_netlinkFailed = true;
    }
    std::vector<TcpSocketEntry> all;
    if (const int err = readAllRows(family, all))
        return err;
    // An IPv4 connection may sit on an IPv6 socket: the IPv6 file lists it.
    if (family == kAfInet) {
        std::vector<TcpSocketEntry> v6;
        if (readAllRows(kAfInet6, v6) == 0)
            all.insert(all.end(), v6.begin(), v6.end());
    }
    for (const TcpSocketEntry& e : all) {
        if (posix::matches(e, family, *hint))
            rows.push_back(e);
    }
    return 0;
}

std::uint64_t PosixTcpTable::nextInstance() {
    static std::atomic<std::uint64_t> g_next{1};
    return g_next.fetch_add(1);
}

TcpTable& nativeTcpTable() {
    static PosixTcpTable g_instance;
    return g_instance;
}

}  // namespace platform
