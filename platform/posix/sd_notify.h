// Service manager notifications on Linux: newline-separated KEY=VALUE
// assignments, sent with libsystemd's sd_notify.
#pragma once

#include <string>

namespace platform {

// Sends to NOTIFY_SOCKET; without one (unset or empty) nothing is sent and
// the result is 0. Otherwise 0 or an errno value.
int notifyServiceManager(const std::string& message);

}  // namespace platform
