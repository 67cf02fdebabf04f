// Scripted snapshots of the machine's TCP owner tables.
#pragma once

#include <cstdint>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/tcp_table.h"

class FakeTcpTable : public platform::TcpTable {
public:
    // A row from host-order values; addresses and ports are stored in
    // network byte order as the platform reports them.
    static platform::TcpRowOwner row(std::uint32_t localAddr, std::uint16_t localPort,
                                     std::uint32_t remoteAddr, std::uint16_t remotePort,
                                     std::uint32_t pid, std::uint32_t state = 5);
    // The bytes of a table: the row count (or `claimedRows` when given),
    // then the rows.
    template <typename Row>
    static std::vector<std::uint8_t> tableBytes(const std::vector<Row>& rows,
                                                long long claimedRows = -1) {
        const std::uint32_t count = static_cast<std::uint32_t>(
            claimedRows < 0 ? static_cast<long long>(rows.size()) : claimedRows);
        std::vector<std::uint8_t> out(sizeof count + rows.size() * sizeof(Row));
        std::memcpy(out.data(), &count, sizeof count);
        if (!rows.empty())
            std::memcpy(out.data() + sizeof count, rows.data(), rows.size() * sizeof(Row));
        return out;
    }

    // One reply per call, in order; the last one repeats. A table reply
    // follows the size-query rules; a raw reply writes up to `written`
    // bytes of `bytes` (as far as the buffer holds) and reports `size`.
    void addTable(const std::vector<platform::TcpRowOwner>& rows);
    void addRawReply(std::uint32_t rc, const std::vector<std::uint8_t>& bytes, std::uint32_t size);

    int calls() const;
    std::vector<platform::TcpOwnerHint> hints() const;

    // Replies for the IPv6 table, in the same way; none: an empty table.
    void addTable6(const std::vector<platform::Tcp6RowOwner>& rows);
    // The families asked for, call by call.
    std::vector<std::uint16_t> families() const;

    std::uint32_t getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                      std::uint32_t& size,
                                      const platform::TcpOwnerHint* hint) override;
    bool answersExactly() const override { return m_exact; }
    bool m_exact = false;

private:
    struct Reply {
        bool raw = false;
        std::uint32_t rc = 0;
        std::vector<std::uint8_t> bytes;
        std::uint32_t size = 0;
    };

    static std::uint32_t answer(const Reply& reply, std::uint8_t* buffer, std::uint32_t& size);

    mutable std::mutex m_mutex;
    std::vector<Reply> m_replies;
    std::vector<Reply> m_replies6;
    std::vector<std::uint16_t> m_families;
    int m_calls = 0;
    int m_calls6 = 0;
    std::vector<platform::TcpOwnerHint> m_hints;
};
