// The service's side of the conversation with the service manager: the
// service main routine, the control handler and the status reports.
#pragma once

#include <cstdint>

#include "platform/service_control.h"

// The status record sent with every report (and filled by the remover's
// stop and query calls).
extern platform::ServiceStatus g_serviceStatus;
// Null until serviceMain has registered the control handler; always null in
// debug mode.
extern platform::StatusHandle g_statusHandle;

// Called by the dispatcher on the service's own thread.
void serviceMain();
// Stop (1), interrogate (4) and session change (14); 120 for anything else.
std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                    void* context);
// Sends one report; true when it was accepted (always true in debug mode).
// A non-zero service-specific exit code goes with the exit code
// ERROR_SERVICE_SPECIFIC_ERROR, so that the service manager sees a failure.
bool reportServiceStatus(std::uint32_t state, std::uint32_t waitHint,
                         std::uint32_t serviceSpecificExitCode = 0);

// The service-specific exit code of a relay that could not run or failed.
constexpr std::uint32_t kRelayFailedExitCode = 1;

// The exit code of service mode: 0 once serviceMain has seen the relay run
// and end on a stop request, 1 otherwise (also when it never ran).
int serviceExitCode();

// Starts the pending-state check point counter again at 1, as in a fresh
// process (for tests).
void resetStatusCheckPoint();
