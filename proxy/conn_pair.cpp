#include "proxy/conn_pair.h"

#include "platform/platform.h"

ConnPair::ConnPair() : m_bs_buf(kRelayBufferSize), m_sb_buf(kRelayBufferSize) {}

ConnPair::~ConnPair() {
    // A worker still running writes into this pair: wait for it first.
    if (m_userInfoThread) {
        if (m_userInfoThread->joinable())
            m_userInfoThread->join();
        m_userInfoThread.reset();
    }
    // Closed outright; the only shutdown is the one after an error page.
    if (m_browserSock != platform::kInvalidSocket) {
        platform::sockets().close(m_browserSock);
        m_browserSock = platform::kInvalidSocket;
    }
    if (m_tarnwicketSock != platform::kInvalidSocket) {
        platform::sockets().close(m_tarnwicketSock);
        m_tarnwicketSock = platform::kInvalidSocket;
    }
}
