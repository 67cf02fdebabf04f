// Service manager notifications on Linux: one datagram of newline-separated
// KEY=VALUE assignments to the socket named by NOTIFY_SOCKET.
#pragma once

#include <string>

namespace platform {

// Sends `message` to `socketPath` (a file system path, or an abstract socket
// name after a leading '@'). 0 or an errno value.
int sendNotifyDatagram(const std::string& socketPath, const std::string& message);

// Sends to NOTIFY_SOCKET; without one nothing is sent and the result is 0.
int notifyServiceManager(const std::string& message);

}  // namespace platform
