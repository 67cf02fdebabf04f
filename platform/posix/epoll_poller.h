// One thread's epoll instance for the select of the sockets seam. Each
// select call says which events it wants for which descriptors; the poller
// changes the kernel's interest list by the difference from the previous
// call only, so a wait costs what is ready, not what is watched.
#pragma once

#include <sys/epoll.h>

#include <cstdint>
#include <vector>

#include "platform/posix/fd_handle.h"

namespace platform {
namespace posix {

class EpollPoller {
public:
    EpollPoller();
    EpollPoller(const EpollPoller&) = delete;
    EpollPoller& operator=(const EpollPoller&) = delete;

    // 0, or the errno of a failed epoll_create1.
    int createError() const { return m_createError; }

    // Starts a new set of wishes; descriptors not wished for again before
    // commit() are no longer watched.
    void beginRound();
    // Watch fd for these events (0: for errors and hang-ups only) in this
    // round. 0, or an errno value (EBADF: not an open descriptor).
    int want(int fd, std::uint32_t events);
    // Drops the descriptors of the previous round that were not wished for.
    void commit();
    // The descriptor was closed: the kernel has dropped it from the
    // interest list already, and its number may come back as a new socket.
    void forget(int fd);
    // A descriptor wished for in this round that should not be waited on
    // any more in this round.
    void unwatch(int fd);

    // epoll_wait for at most timeoutMillis (negative: no limit). Returns the
    // number of events, each then read with event(i), or -errno.
    int wait(int timeoutMillis);
    const epoll_event& event(int i) const { return m_events[static_cast<std::size_t>(i)]; }

private:
    struct Entry {
        std::uint32_t events = 0;
        std::uint32_t round = 0;
        bool watched = false;
        std::size_t listIndex = 0;
    };

    Entry& entry(int fd) {
        const auto index = static_cast<std::size_t>(fd);
        if (index >= m_entries.size())
            grow(index);
        return m_entries[index];
    }
    void grow(std::size_t index);
    int control(int op, int fd, std::uint32_t events);
    void dropFromList(int fd);

    FdHandle m_epoll;
    int m_createError = 0;
    std::uint32_t m_round = 0;
    std::vector<Entry> m_entries;  // by descriptor
    std::vector<int> m_watched;    // descriptors in the kernel's interest list
    std::vector<epoll_event> m_events;
};

}  // namespace posix
}  // namespace platform
