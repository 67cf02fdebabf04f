// A set of sockets with the semantics of a Winsock fd_set of 8192 entries: a
// socket is held once, in the order of adding, and a full set takes no more.
// Membership is kept in a hash index of its own, so adding and looking up
// cost the same whatever the set holds; clearing is constant too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/types.h"

namespace platform {

class SocketSet {
public:
    static constexpr std::size_t kCapacity = 8192;

    SocketSet();
    SocketSet(const SocketSet&) = delete;
    SocketSet& operator=(const SocketSet&) = delete;

    void clear();
    // Returns false when the socket was already present or the set is full.
    bool add(Socket s);
    bool contains(Socket s) const;
    std::size_t size() const { return m_count; }
    bool empty() const { return m_count == 0; }
    Socket at(std::size_t i) const { return m_sockets[i]; }
    // Keeps, in their order, only the sockets for which keep(socket) is true
    // (used by select implementations to leave just the ready ones).
    template <typename Pred>
    void retainIf(Pred keep) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < m_count; ++i) {
            if (keep(m_sockets[i]))
                m_sockets[out++] = m_sockets[i];
        }
        reindex(out);
    }

private:
    // Open addressing with linear probing over twice the capacity; a slot is
    // in use only when it carries the current stamp, so clear() just moves
    // the stamp on.
    static constexpr std::size_t kSlots = 2 * kCapacity;
    struct Slot {
        Socket key;
        std::uint32_t stamp;
    };

    // The slot that holds s, or the free slot where it would go.
    std::size_t probe(Socket s) const;
    // Rebuilds the index over the first `count` sockets.
    void reindex(std::size_t count);

    std::unique_ptr<Socket[]> m_sockets;
    std::unique_ptr<Slot[]> m_slots;
    std::size_t m_count = 0;
    std::uint32_t m_stamp = 1;
};

}  // namespace platform
