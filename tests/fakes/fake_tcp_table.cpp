#include "tests/fakes/fake_tcp_table.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/types.h"

platform::TcpRowOwnerPid FakeTcpTable::row(std::uint32_t localAddr, std::uint16_t localPort,
                                           std::uint32_t remoteAddr, std::uint16_t remotePort,
                                           std::uint32_t pid, std::uint32_t state) {
    return platform::TcpRowOwnerPid{state,
                                    platform::hostToNet32(localAddr),
                                    platform::hostToNet16(localPort),
                                    platform::hostToNet32(remoteAddr),
                                    platform::hostToNet16(remotePort),
                                    pid};
}

std::vector<std::uint8_t> FakeTcpTable::tableBytes(
    const std::vector<platform::TcpRowOwnerPid>& rows, long long claimedRows) {
    const std::uint32_t count = static_cast<std::uint32_t>(
        claimedRows < 0 ? static_cast<long long>(rows.size()) : claimedRows);
    std::vector<std::uint8_t> out(sizeof count + rows.size() * sizeof(platform::TcpRowOwnerPid));
    std::memcpy(out.data(), &count, sizeof count);
    if (!rows.empty())
        std::memcpy(out.data() + sizeof count, rows.data(),
                    rows.size() * sizeof(platform::TcpRowOwnerPid));
    return out;
}

void FakeTcpTable::addTable(const std::vector<platform::TcpRowOwnerPid>& rows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Reply reply;
    reply.bytes = tableBytes(rows);
    m_replies.push_back(reply);
}

void FakeTcpTable::addRawReply(std::uint32_t rc, const std::vector<std::uint8_t>& bytes,
                               std::uint32_t size) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_replies.push_back(Reply{true, rc, bytes, size});
}

int FakeTcpTable::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<platform::TcpOwnerHint> FakeTcpTable::hints() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hints;
}

std::uint32_t FakeTcpTable::getExtendedTcpTable(std::uint8_t* buffer, std::uint32_t& size,
                                                const platform::TcpOwnerHint* hint) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::size_t index = static_cast<std::size_t>(m_calls++);
    if (hint != nullptr)
        m_hints.push_back(*hint);
    if (m_replies.empty())
        return platform::kErrorNotSupported;
    const Reply& reply = m_replies[std::min(index, m_replies.size() - 1)];
    const std::uint32_t capacity = buffer == nullptr ? 0 : size;

    if (reply.raw) {
        if (buffer != nullptr && !reply.bytes.empty()) {
            std::memcpy(buffer, reply.bytes.data(),
                        std::min<std::size_t>(capacity, reply.bytes.size()));
        }
        size = reply.size;
        return reply.rc;
    }
    const auto needed = static_cast<std::uint32_t>(reply.bytes.size());
    size = needed;
    if (capacity < needed)
        return platform::kErrorInsufficientBuffer;
    std::memcpy(buffer, reply.bytes.data(), needed);
    return 0;
}
