#include "platform/posix/event_readiness.h"

#include <sys/epoll.h>

namespace platform {
namespace posix {

std::uint32_t eventsFor(bool read, bool write, bool except) {
    return (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u) | (except ? EPOLLPRI : 0u);
}

Readiness ordinaryReadiness(std::uint32_t events) {
    Readiness r;
    r.readable = (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0;
    r.writable = (events & (EPOLLOUT | EPOLLERR)) != 0;
    r.exceptional = (events & EPOLLPRI) != 0;
    return r;
}

}  // namespace posix
}  // namespace platform
