// Scripted snapshots of the machine's IPv4 TCP owner table.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/tcp_table.h"

class FakeTcpTable : public platform::TcpTable {
public:
    // A row from host-order values; addresses and ports are stored in
    // network byte order as the platform reports them.
    static platform::TcpRowOwnerPid row(std::uint32_t localAddr, std::uint16_t localPort,
                                        std::uint32_t remoteAddr, std::uint16_t remotePort,
                                        std::uint32_t pid, std::uint32_t state = 5);
    // The bytes of a table: the row count (or `claimedRows` when given),
    // then the rows.
    static std::vector<std::uint8_t> tableBytes(const std::vector<platform::TcpRowOwnerPid>& rows,
                                                long long claimedRows = -1);

    // One reply per call, in order; the last one repeats. A table reply
    // follows the size-query rules; a raw reply writes up to `written`
    // bytes of `bytes` (as far as the buffer holds) and reports `size`.
    void addTable(const std::vector<platform::TcpRowOwnerPid>& rows);
    void addRawReply(std::uint32_t rc, const std::vector<std::uint8_t>& bytes, std::uint32_t size);

    int calls() const;
    std::vector<platform::TcpOwnerHint> hints() const;

    std::uint32_t getExtendedTcpTable(std::uint8_t* buffer, std::uint32_t& size,
                                      const platform::TcpOwnerHint* hint) override;

private:
    struct Reply {
        bool raw = false;
        std::uint32_t rc = 0;
        std::vector<std::uint8_t> bytes;
        std::uint32_t size = 0;
    };

    mutable std::mutex m_mutex;
    std::vector<Reply> m_replies;
    int m_calls = 0;
    std::vector<platform::TcpOwnerHint> m_hints;
};
