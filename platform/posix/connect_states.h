// Winsock reports the end of a non-blocking connect through select's sets:
// success as writable, failure only in the except set, and a socket whose
// connect failed is never readable or writable afterwards. epoll reports
// both ends, and a dead socket, as ordinary events, so the state of each
// connect is tracked here, apart from the translation of ordinary events.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "platform/posix/event_readiness.h"
#include "platform/types.h"

namespace platform {
namespace posix {

class ConnectStates {
public:
    enum class State { None, InProgress, Failed };

    // connect() returned "in progress".
    void began(Socket s);
    // The connect ended at once, or the socket was closed.
    void forget(Socket s);
    State state(Socket s) const;

    // The events to ask the kernel for: a connect in progress is watched
    // for its end only, a failed one not at all (it would report itself
    // forever and keep every wait from sleeping).
    std::uint32_t watchedEvents(Socket s, std::uint32_t ordinary) const;

    // What an event report means for select. For a connect in progress it
    // ends the connect: failure leaves the socket failed and reports it in
    // the except set only; success makes it an ordinary socket, writable.
    Readiness report(Socket s, std::uint32_t events);

private:
    std::unordered_map<Socket, State> m_states;
};

}  // namespace posix
}  // namespace platform
