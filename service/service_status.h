// The service's state as the service manager is told it: the status record
// sent with every report, the status handle and the check point of the
// pending states.
#pragma once

#include <cstdint>
#include <mutex>

#include "platform/service_control.h"

class ServiceStatusReporter {
public:
    // Reports go to `handle` from now on, for a service in its own process.
    // Until then (and always in debug mode, where there is no service
    // manager) nothing is sent.
    void attach(platform::StatusHandle handle);

    // Sends one report; true when it was accepted or there is no handle to
    // send it to. A non-zero service-specific exit code goes with the exit
    // code ERROR_SERVICE_SPECIFIC_ERROR, so that the service manager sees a
    // failure.
    bool reportServiceStatus(std::uint32_t state, std::uint32_t waitHint,
                             std::uint32_t serviceSpecificExitCode = 0);
    // Sends the state already reported again, with wait hint 0; a pending
    // state advances the check point once more.
    void reportCurrentServiceStatus();

private:
    bool sendLocked(std::uint32_t state, std::uint32_t waitHint,
                    std::uint32_t serviceSpecificExitCode);

    // Reports come from the service thread and the handler thread; one at a
    // time, so that each carries its own check point and a re-sent state is
    // never older than the last one reported.
    std::mutex m_mutex;
    platform::ServiceStatus m_serviceStatus;
    // Null until the control handler is registered.
    platform::StatusHandle m_statusHandle = 0;
    std::uint32_t m_checkPoint = 1;
};
