// Readiness of an ordinary socket as select reports it, from the events
// that epoll reports for it.
#pragma once

#include <cstdint>

namespace platform {
namespace posix {

struct Readiness {
    bool readable = false;
    bool writable = false;
    bool exceptional = false;
};

// The epoll events to ask for, for the select sets a socket is in.
std::uint32_t eventsFor(bool read, bool write, bool except);

// Readable: data, end of stream, a reset or an error (a receive then
// reports it). Writable: room to send, or an error. Exceptional: urgent
// data only.
Readiness ordinaryReadiness(std::uint32_t events);

}  // namespace posix
}  // namespace platform
