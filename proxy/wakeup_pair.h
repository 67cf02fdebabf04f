// A connected pair of loopback sockets through which other threads wake the
// loop from its wait: a byte sent on one end makes the other readable.
// Created and drained on the loop thread; wake() may be called from any.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/types.h"

class WakeupPair {
public:
    WakeupPair();
    ~WakeupPair() { close(); }
    WakeupPair(const WakeupPair&) = delete;
    WakeupPair& operator=(const WakeupPair&) = delete;

    // Makes the pair; a failure is logged and leaves none (the loop then
    // wakes on a short timeout instead).
    void create();
    void wake();
    // Reads what wakeups sent; a failure marks the pair failed.
    void drain();
    void close();

    bool exists() const {
        return m_fds[0] != platform::kInvalidSocket && m_fds[1] != platform::kInvalidSocket;
    }
    // The end the loop watches.
    platform::Socket readSocket() const { return m_fds[1]; }
    // A send or receive failed: the pair is to be closed, and the loop
    // goes on without it.
    bool failed() const { return m_failed.load(); }

private:
    friend class SocksProxyServerProbe;

    // A bound, listening loopback socket and its address; false when
    // failed (logged).
    static bool listenForPair(platform::Socket listener, platform::SockAddr& addr);
    // Connects the writing end to the listener and accepts the reading end.
    static bool connectPair(platform::Socket listener, const platform::SockAddr& addr,
                            platform::Socket& writer, platform::Socket& reader);

    // [0] sends, [1] receives, as the log messages name them.
    std::array<platform::Socket, 2> m_fds{platform::kInvalidSocket, platform::kInvalidSocket};
    std::vector<std::uint8_t> m_buf;
    std::atomic<bool> m_failed{false};
    // Wakeup sends and the closing of m_fds[0] exclude each other.
    std::mutex m_mutex;
};
