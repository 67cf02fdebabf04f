#include "platform/socket_set.h"

namespace platform {

bool SocketSet::add(Socket s) {
    if (contains(s) || m_count >= kCapacity)
        return false;
    m_sockets[m_count++] = s;
    return true;
}

bool SocketSet::contains(Socket s) const {
    for (std::size_t i = 0; i < m_count; ++i) {
        if (m_sockets[i] == s)
            return true;
    }
    return false;
}

}  // namespace platform
