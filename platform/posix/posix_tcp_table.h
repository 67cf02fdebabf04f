// The IPv4 TCP table on Linux, in the layout and with the size protocol of
// the Windows owner table. The owning pid is looked up through /proc only
// for the rows that match the caller's hint, since that search is costly.
//
// With a hint the table holds only the rows that can match it: the
// connection with exactly those two ends, found by an exact kernel lookup
// (or, without sock_diag, picked from /proc/net/tcp). A lookup then costs
// the same however many sockets the machine has. Without a hint every IPv4
// TCP socket is listed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/tcp_socket_entry.h"
#include "platform/tcp_table.h"

namespace platform {

class PosixTcpTable : public TcpTable {
public:
    std::uint32_t getExtendedTcpTable(std::uint8_t* buffer, std::uint32_t& size,
                                      const TcpOwnerHint* hint) override;

    // Off: read the rows from m_procNetTcpPath only.
    bool m_useNetlink = true;
    std::string m_procNetTcpPath = "/proc/net/tcp";
    // A size query keeps its rows, owners found, (per thread) for the fetch
    // that follows, so the table is read once per lookup and a failure to
    // read it shows at the first call; older rows are not used.
    std::chrono::milliseconds m_snapshotMaxAge{250};

private:
    // 0 or an errno value.
    int readAllRows(std::vector<posix::TcpSocketEntry>& rows) const;
    int readRows(const TcpOwnerHint* hint, std::vector<posix::TcpSocketEntry>& rows) const;

    // Tells this table's snapshots from those of an earlier table that lived
    // at the same address.
    const std::uint64_t m_instance = nextInstance();
    static std::uint64_t nextInstance();
};

}  // namespace platform
