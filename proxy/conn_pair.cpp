#include "proxy/conn_pair.h"

#include <algorithm>

#include "platform/platform.h"

ConnPair::ConnPair() : m_bs_buf(kRelayBufferSize), m_sb_buf(kRelayBufferSize) {}

ConnPair::~ConnPair() {
    // A lookup that still runs writes only into what it shares with us.
    m_userInfoThread.reset();
    // Closed outright: whatever a side has ended was shut down already.
    platform::closeSocket(m_browserSock);
    platform::closeSocket(m_tarnwicketSock);
}

std::size_t receivedBytes(const ConnPair& cp) {
    if (cp.m_sb_rx_pos <= 0)
        return 0;
    return std::min(static_cast<std::size_t>(cp.m_sb_rx_pos), cp.m_sb_buf.size());
}
