// The IPv4 TCP table on Linux, in the layout and with the size protocol of
// the Windows owner table. Rows come from sock_diag (or /proc/net/tcp); the
// owning pid is looked up through /proc only for the rows that match the
// caller's hint, since that search is costly.
//
// A full sock_diag dump walks the kernel's whole connection hash, which
// costs milliseconds however few sockets exist. With a hint, the hinted
// connection is therefore always asked for afresh by an exact kernel lookup,
// while the other rows may come from a dump up to m_tableMaxAge old (per
// thread). The hinted row, the only one whose owner is filled, is thus
// always current; without a hint every call dumps.
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
    // A size query keeps its rows (per thread) for the fetch that follows,
    // so the table is dumped once per lookup; older rows are not used.
    std::chrono::milliseconds m_snapshotMaxAge{250};
    // How old the other rows may be when a hint is given; zero: dump on
    // every lookup.
    std::chrono::milliseconds m_tableMaxAge{1000};

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
