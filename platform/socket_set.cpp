#include "platform/socket_set.h"

namespace platform {
namespace {

static_assert((2 * SocketSet::kCapacity & (2 * SocketSet::kCapacity - 1)) == 0,
              "the index size is a power of two");

// Descriptors are small consecutive numbers and Windows handles multiples of
// four: a multiplicative hash spreads both over the index.
std::size_t hashOf(Socket s, std::size_t mask) {
    const std::uint64_t h = static_cast<std::uint64_t>(s) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & mask;
}

}  // namespace

SocketSet::SocketSet()
    : m_sockets(std::make_unique<Socket[]>(kCapacity)), m_slots(std::make_unique<Slot[]>(kSlots)) {}

void SocketSet::clear() {
    m_count = 0;
    if (++m_stamp == 0) {
        // After four billion clears every old stamp could look current again.
        for (std::size_t i = 0; i < kSlots; ++i)
            m_slots[i].stamp = 0;
        m_stamp = 1;
    }
}

std::size_t SocketSet::probe(Socket s) const {
    const std::size_t mask = kSlots - 1;
    std::size_t i = hashOf(s, mask);
    // At most kCapacity slots are in use, so a free one is always found.
    while (m_slots[i].stamp == m_stamp && m_slots[i].key != s)
        i = (i + 1) & mask;
    return i;
}

bool SocketSet::add(Socket s) {
    if (m_count >= kCapacity)
        return false;
    Slot& slot = m_slots[probe(s)];
    if (slot.stamp == m_stamp)
        return false;
    slot = Slot{s, m_stamp};
    m_sockets[m_count++] = s;
    return true;
}

bool SocketSet::contains(Socket s) const {
    return m_slots[probe(s)].stamp == m_stamp;
}

void SocketSet::reindex(std::size_t count) {
    clear();
    for (std::size_t i = 0; i < count; ++i)
        m_slots[probe(m_sockets[i])] = Slot{m_sockets[i], m_stamp};
    m_count = count;
}

}  // namespace platform
