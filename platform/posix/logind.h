// What the relay asks systemd-logind: whether it runs, which users have a
// login session, and a descriptor that wakes when that may have changed. An
// interface, so that the session logic can be driven without logind.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace platform {
namespace posix {

// Wakes its owner when logind's record of the users changes.
class LogindMonitor {
public:
    virtual ~LogindMonitor() = default;
    // A descriptor to poll for events(); owned by the monitor.
    virtual int fd() const = 0;
    virtual short events() const = 0;
    // Acknowledges a wake-up, so that the descriptor stays quiet until the
    // next change.
    virtual void flush() = 0;
};

class Logind {
public:
    virtual ~Logind() = default;
    // True when logind manages this machine's logins, so that its records,
    // not utmp, say who is logged on.
    virtual bool running() const = 0;
    // The uids with at least one login session that has not ended, in any
    // order. False when logind cannot be asked.
    virtual bool sessionUids(std::vector<std::uint32_t>& uids) const = 0;
    // A monitor of the users' records; null with error set (an error code of
    // platform/errors.h) when none can be made.
    virtual std::unique_ptr<LogindMonitor> openMonitor(std::uint32_t& error) = 0;
};

// This machine's logind, through sd-login.
Logind& systemLogind();

}  // namespace posix
}  // namespace platform
