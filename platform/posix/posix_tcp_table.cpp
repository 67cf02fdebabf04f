#include "platform/posix/posix_tcp_table.h"

#include <atomic>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/inet_diag.h"
#include "platform/posix/proc_fd_owner.h"
#include "platform/posix/proc_net_tcp.h"

namespace platform {
namespace {

using posix::TcpSocketEntry;
using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kHeaderBytes = sizeof(std::uint32_t);
constexpr std::size_t kRowBytes = sizeof(TcpRowOwnerPid);

struct PendingSnapshot {
    std::uint64_t owner = 0;  // the table's instance number; 0: none
    std::vector<TcpSocketEntry> rows;
    SteadyClock::time_point taken;
};

thread_local PendingSnapshot t_pending;

bool matchesHint(const TcpRowOwnerPid& row, const TcpOwnerHint& hint) {
    return row.localAddr == hint.localAddr && row.localPort == hint.localPort &&
           row.remoteAddr == hint.remoteAddr && row.remotePort == hint.remotePort;
}

// Fills owningPid for the rows that match the hint, or for every row
// without one. 0 or an errno value.
int resolveOwners(std::vector<TcpSocketEntry>& rows, const TcpOwnerHint* hint) {
    std::unordered_map<std::uint64_t, std::uint32_t> owners;
    std::vector<std::uint32_t> uids;
    auto wanted = [hint](const TcpSocketEntry& e) {
        return e.inode != 0 && (hint == nullptr || matchesHint(e.row, *hint));
    };
    for (const TcpSocketEntry& e : rows) {
        if (!wanted(e))
            continue;
        owners.emplace(e.inode, 0);
        if (hint != nullptr)
            uids.push_back(e.uid);
    }
    if (owners.empty())
        return 0;
    const int err = posix::findSocketOwners(owners, uids);
    for (TcpSocketEntry& e : rows) {
        if (wanted(e))
            e.row.owningPid = owners[e.inode];
    }
    // An owner that could not be searched for is a failure to read the
    // table, not a connection that has no owner.
    for (const TcpSocketEntry& e : rows) {
        if (wanted(e) && e.row.owningPid == 0)
            return err;
    }
    return 0;
}

void writeTable(const std::vector<TcpSocketEntry>& rows, std::uint8_t* buffer) {
    const std::uint32_t count = static_cast<std::uint32_t>(rows.size());
    std::memcpy(buffer, &count, kHeaderBytes);
    std::uint8_t* out = buffer + kHeaderBytes;
    for (const TcpSocketEntry& e : rows) {
        std::memcpy(out, &e.row, kRowBytes);
        out += kRowBytes;
    }
}

}  // namespace

std::uint32_t PosixTcpTable::getExtendedTcpTable(std::uint8_t* buffer, std::uint32_t& size,
                                                 const TcpOwnerHint* hint) {
    std::vector<TcpSocketEntry> rows;
    const bool reuse = buffer != nullptr && t_pending.owner == m_instance &&
                       SteadyClock::now() - t_pending.taken <= m_snapshotMaxAge;
    if (reuse)
        rows.swap(t_pending.rows);
    t_pending.owner = 0;
    t_pending.rows.clear();

    if (!reuse) {
        int err = readRows(hint, rows);
        if (err == 0)
            err = resolveOwners(rows, hint);
        if (err != 0)
            return win32ErrorFromErrno(err);
    }
    if (rows.size() > (0xFFFFFFFFu - kHeaderBytes) / kRowBytes)
        return kErrorNotEnoughMemory;
    const std::uint32_t needed = static_cast<std::uint32_t>(kHeaderBytes + rows.size() * kRowBytes);
    if (buffer == nullptr || size < needed) {
        size = needed;
        t_pending.owner = m_instance;
        t_pending.rows.swap(rows);
        t_pending.taken = SteadyClock::now();
        return kErrorInsufficientBuffer;
    }
    writeTable(rows, buffer);
    size = needed;
    return kErrorSuccess;
}

int PosixTcpTable::readAllRows(std::vector<TcpSocketEntry>& rows) const {
    if (m_useNetlink && posix::dumpTcp4Sockets(rows) == 0)
        return 0;
    return posix::readProcNetTcp(m_procNetTcpPath, rows);
}

int PosixTcpTable::readRows(const TcpOwnerHint* hint, std::vector<TcpSocketEntry>& rows) const {
    if (hint == nullptr)
        return readAllRows(rows);
    rows.clear();
    if (m_useNetlink) {
        TcpSocketEntry hinted;
        bool found = false;
        const int err = posix::queryTcp4Socket(*hint, hinted, found);
        if (err == 0) {
            if (found)
                rows.push_back(hinted);
            return 0;
        }
        // Kernels without the exact lookup fall back to a full read below.
    }
    std::vector<TcpSocketEntry> all;
    if (const int err = readAllRows(all))
        return err;
    for (const TcpSocketEntry& e : all) {
        if (matchesHint(e.row, *hint))
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
