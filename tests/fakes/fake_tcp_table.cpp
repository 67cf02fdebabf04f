#include "tests/fakes/fake_tcp_table.h"

#include <algorithm>
#include <cstring>

#include "platform/errors.h"
#include "platform/types.h"

platform::TcpRowOwner FakeTcpTable::row(std::uint32_t localAddr, std::uint16_t localPort,
                                        std::uint32_t remoteAddr, std::uint16_t remotePort,
                                        std::uint32_t pid, std::uint32_t state) {
    return platform::TcpRowOwner{state,
                                 platform::hostToNet32(localAddr),
                                 platform::hostToNet16(localPort),
                                 platform::hostToNet32(remoteAddr),
                                 platform::hostToNet16(remotePort),
                                 pid};
}

void FakeTcpTable::addTable(const std::vector<platform::TcpRowOwner>& rows) {
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

void FakeTcpTable::addTable6(const std::vector<platform::Tcp6RowOwner>& rows) {
    std::lock_guard<std::mutex> lock(m_mutex);
    Reply reply;
    reply.bytes = tableBytes(rows);
    m_replies6.push_back(reply);
}

std::vector<std::uint16_t> FakeTcpTable::families() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_families;
}

int FakeTcpTable::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::vector<platform::TcpOwnerHint> FakeTcpTable::hints() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_hints;
}

std::uint32_t FakeTcpTable::getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                                std::uint32_t& size,
                                                const platform::TcpOwnerHint* hint) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_families.push_back(family);
    const bool v6 = family == platform::kAfInet6;
    const std::size_t index = static_cast<std::size_t>(v6 ? m_calls6++ : m_calls++);
    if (hint != nullptr && !v6)
        m_hints.push_back(*hint);
    const std::vector<Reply>& replies = v6 ? m_replies6 : m_replies;
    if (replies.empty()) {
        if (!v6)
            return platform::kErrorNotSupported;
        static const Reply g_empty{false, 0, tableBytes(std::vector<platform::Tcp6RowOwner>()), 0};
        return answer(g_empty, buffer, size);
    }
    return answer(replies[std::min(index, replies.size() - 1)], buffer, size);
}

std::uint32_t FakeTcpTable::answer(const Reply& reply, std::uint8_t* buffer, std::uint32_t& size) {
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
