#include "platform/posix/connect_states.h"

#include <sys/epoll.h>

namespace platform {
namespace posix {

void ConnectStates::began(Socket s) {
    m_states[s] = State::InProgress;
}

void ConnectStates::forget(Socket s) {
    m_states.erase(s);
}

ConnectStates::State ConnectStates::state(Socket s) const {
    if (m_states.empty())  // the common case, asked for every socket of every wait
        return State::None;
    const auto it = m_states.find(s);
    return it == m_states.end() ? State::None : it->second;
}

std::uint32_t ConnectStates::watchedEvents(Socket s, std::uint32_t ordinary) const {
    switch (state(s)) {
        case State::InProgress:
            return EPOLLOUT;  // errors and hang-ups are always reported
        case State::Failed:
            return 0;
        case State::None:
            break;
    }
    return ordinary;
}

Readiness ConnectStates::report(Socket s, std::uint32_t events) {
    switch (state(s)) {
        case State::Failed:
            return Readiness{false, false, true};
        case State::InProgress:
            if ((events & (EPOLLERR | EPOLLHUP)) != 0) {
                m_states[s] = State::Failed;
                return Readiness{false, false, true};
            }
            if ((events & EPOLLOUT) != 0) {
                m_states.erase(s);
                return Readiness{false, true, false};
            }
            return Readiness{};
        case State::None:
            break;
    }
    return ordinaryReadiness(events);
}

}  // namespace posix
}  // namespace platform
