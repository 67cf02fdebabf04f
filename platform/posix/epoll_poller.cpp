#include "platform/posix/epoll_poller.h"

#include <algorithm>
#include <cerrno>

namespace platform {
namespace posix {

EpollPoller::EpollPoller() : m_epoll(::epoll_create1(EPOLL_CLOEXEC)) {
    if (!m_epoll.valid())
        m_createError = errno;
}

void EpollPoller::grow(std::size_t index) {
    m_entries.resize(std::max(index + 1, 2 * m_entries.size()));
}

int EpollPoller::control(int op, int fd, std::uint32_t events) {
    epoll_event ev{};
    ev.events = events;
    ev.data.fd = fd;
    return ::epoll_ctl(m_epoll.get(), op, fd, &ev) == 0 ? 0 : errno;
}

void EpollPoller::dropFromList(int fd) {
    Entry& e = entry(fd);
    const int last = m_watched.back();
    m_watched[e.listIndex] = last;
    entry(last).listIndex = e.listIndex;
    m_watched.pop_back();
    e.watched = false;
}

void EpollPoller::beginRound() {
    ++m_round;
}

int EpollPoller::want(int fd, std::uint32_t events) {
    Entry& e = entry(fd);
    e.round = m_round;
    if (e.watched && e.events == events)
        return 0;
    int err = 0;
    if (e.watched) {
        err = control(EPOLL_CTL_MOD, fd, events);
        if (err == ENOENT)  // dropped by the kernel behind our back
            err = control(EPOLL_CTL_ADD, fd, events);
    } else {
        err = control(EPOLL_CTL_ADD, fd, events);
        if (err == EEXIST)
            err = control(EPOLL_CTL_MOD, fd, events);
    }
    if (err != 0) {
        if (e.watched)
            dropFromList(fd);
        return err;
    }
    e.events = events;
    if (!e.watched) {
        e.watched = true;
        e.listIndex = m_watched.size();
        m_watched.push_back(fd);
    }
    return 0;
}

void EpollPoller::unwatch(int fd) {
    Entry& e = entry(fd);
    if (!e.watched)
        return;
    control(EPOLL_CTL_DEL, fd, 0);
    dropFromList(fd);
}

void EpollPoller::commit() {
    for (std::size_t i = 0; i < m_watched.size();) {
        const int fd = m_watched[i];
        if (entry(fd).round == m_round) {
            ++i;
            continue;
        }
        control(EPOLL_CTL_DEL, fd, 0);
        dropFromList(fd);  // moves the last descriptor to position i
    }
}

void EpollPoller::forget(int fd) {
    if (fd < 0 || static_cast<std::size_t>(fd) >= m_entries.size())
        return;
    if (m_entries[static_cast<std::size_t>(fd)].watched)
        dropFromList(fd);
}

int EpollPoller::wait(int timeoutMillis) {
    m_events.resize(m_watched.empty() ? 1 : m_watched.size());
    const int n = ::epoll_wait(m_epoll.get(), m_events.data(), static_cast<int>(m_events.size()),
                               timeoutMillis);
    if (n >= 0)
        return n;
    // An interrupted wait saw nothing; the caller asks again with the time left.
    return errno == EINTR ? 0 : -errno;
}

}  // namespace posix
}  // namespace platform
