// A set of sockets with the semantics of a Winsock fd_set of 4096 entries:
// adding scans for a duplicate, and a full set takes no more.
#pragma once

#include <array>
#include <cstddef>

#include "platform/types.h"

namespace platform {

class SocketSet {
public:
    static constexpr std::size_t kCapacity = 4096;

    void clear() { m_count = 0; }
    // Returns false when the socket was already present or the set is full.
    bool add(Socket s);
    bool contains(Socket s) const;
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    Socket at(std::size_t i) const { return m_sockets[i]; }
    // Keeps only the sockets for which keep(socket) is true (used by select
    // implementations to leave just the ready ones).
    template <typename Pred>
    void retainIf(Pred keep) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < m_count; ++i) {
            if (keep(m_sockets[i]))
                m_sockets[out++] = m_sockets[i];
        }
        m_count = out;
    }

private:
    std::array<Socket, kCapacity> m_sockets{};
    std::size_t m_count = 0;
};

}  // namespace platform
