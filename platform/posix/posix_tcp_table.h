// The IPv4 and IPv6 TCP tables on Linux, in the layouts and with the size
// protocol of the Windows owner tables. The owner of a row is the uid that
// created the socket, as the kernel recorded it (sock_diag's idiag_uid, the
// uid column of /proc/net/tcp): no user can choose it, and it does not
// depend on which processes hold the socket now. A socket that no process
// holds any more (TIME_WAIT, an orphan) has no owner and no row.
//
// With a hint the table holds only the rows that can match it: the
// connection with exactly those two ends, found by an exact kernel lookup
// (or, without sock_diag, picked from /proc/net/tcp). A lookup then costs
// the same however many sockets the machine has. Without a hint every
// socket of the family is listed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/tcp_socket_entry.h"
#include "platform/tcp_table.h"

namespace platform {

class PosixTcpTable : public TcpTable {
public:
    std::uint32_t getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                      std::uint32_t& size, const TcpOwnerHint* hint) override;
    // True while the exact sock_diag lookup works.
    bool answersExactly() const override { return m_useNetlink && !m_netlinkFailed.load(); }

    // Off: read the rows from the /proc files only.
    bool m_useNetlink = true;
    // This process's own view, which stays readable where other processes'
    // /proc entries are hidden (ProcSubset=pid).
    std::string m_procNetTcpPath = "/proc/self/net/tcp";
    std::string m_procNetTcp6Path = "/proc/self/net/tcp6";
    // A size query keeps its rows (per thread) for the fetch that follows,
    // so the table is read once per lookup and a failure to read it shows
    // at the first call; older rows are not used.
    std::chrono::milliseconds m_snapshotMaxAge{250};

private:
    // Set when the kernel refused the exact lookup: reads fall back to /proc.
    mutable std::atomic<bool> m_netlinkFailed{false};

    // 0 or an errno value.
    int readAllRows(std::uint16_t family, std::vector<posix::TcpSocketEntry>& rows) const;
    int readRows(std::uint16_t family, const TcpOwnerHint* hint,
                 std::vector<posix::TcpSocketEntry>& rows) const;

    // Tells this table's snapshots from those of an earlier table that lived
    // at the same address.
    const std::uint64_t m_instance = nextInstance();
    static std::uint64_t nextInstance();
};

}  // namespace platform
