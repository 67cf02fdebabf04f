// The loop's three watch lists (each socket with its pair) and the select
// sets made from them: what one wait is over, and what it found ready.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "platform/socket_set.h"
#include "platform/types.h"

struct ConnPair;

// A socket in one of the loop's lists, with its pair (null for the server's
// own sockets).
struct SocketEntry {
    platform::Socket sock;
    ConnPair* pair;
};

class SelectSets {
public:
    enum Kind { Read = 0, Write = 1, Except = 2 };

    // The sets are large (one bit or slot per socket the loop can hold):
    // they exist only while the loop runs.
    void allocate();
    void release();

    void clearLists();
    void watch(Kind kind, platform::Socket sock, ConnPair* pair) {
        m_lists[kind].push_back({sock, pair});
    }
    // The lists into the sets; a socket left out is said, never dropped
    // silently.
    void fill();
    // Waits in select over the sets that have sockets; afterwards each set
    // holds only what is ready. The platform error, 0 on success.
    int wait(long timeoutMicros, int& ready);
    // No socket to wait on at all.
    bool empty() const;

    const std::vector<SocketEntry>& list(Kind kind) const { return m_lists[kind]; }
    bool ready(Kind kind, platform::Socket sock) const { return m_sets[kind]->contains(sock); }
    platform::SocketSet& set(Kind kind) { return *m_sets[kind]; }

private:
    std::array<std::vector<SocketEntry>, 3> m_lists;
    std::array<std::unique_ptr<platform::SocketSet>, 3> m_sets;
};
