#include "platform/posix/sd_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace platform {

int notifyServiceManager(const std::string& message) {
    // sd_notify refuses an empty NOTIFY_SOCKET; here it means no manager.
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (socketPath == nullptr || socketPath[0] == '\0')
        return 0;
    const int rc = ::sd_notify(0, message.c_str());
    return rc < 0 ? -rc : 0;
}

}  // namespace platform
