#include "service/service_status.h"

#include <atomic>
#include <mutex>
#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "service/service_host.h"
#include "support/logging.h"
#include "support/service_names.h"
#include "userinfo/user_information.h"

platform::ServiceStatus g_serviceStatus;
platform::StatusHandle g_statusHandle = 0;

namespace {

constexpr std::uint32_t kAcceptedWhenStarted =
    platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange;
constexpr std::uint32_t kStartPendingWaitHint = 3000;

// Reports come from the service thread and the handler thread; one at a time,
// so that each carries its own check point and a re-sent state is never
// older than the last one reported.
std::mutex g_statusMutex;
std::uint32_t g_checkPoint = 1;

std::atomic<int> g_serviceExitCode{1};

bool sendStatusLocked(std::uint32_t state, std::uint32_t waitHint,
                      std::uint32_t serviceSpecificExitCode) {
    g_serviceStatus.controlsAccepted =
        state == platform::kServiceStartPending ? 0 : kAcceptedWhenStarted;
    g_serviceStatus.currentState = state;
    g_serviceStatus.win32ExitCode =
        serviceSpecificExitCode != 0 ? platform::kErrorServiceSpecificError : 0;
    g_serviceStatus.serviceSpecificExitCode = serviceSpecificExitCode;
    g_serviceStatus.waitHint = waitHint;
    if (state == platform::kServiceRunning || state == platform::kServiceStopped) {
        g_serviceStatus.checkPoint = 0;
    } else {
        g_serviceStatus.checkPoint = g_checkPoint++;
    }
    const std::uint32_t error =
        platform::serviceControl().setStatus(g_statusHandle, g_serviceStatus);
    if (error != 0) {
        logEvent(L"SetServiceStatus call failed: " + std::to_wstring(error), kEventTypeError);
        return false;
    }
    return true;
}

void reportCurrentServiceStatus() {
    if (g_debugMode)
        return;
    std::lock_guard<std::mutex> lock(g_statusMutex);
    sendStatusLocked(g_serviceStatus.currentState, 0, g_serviceStatus.serviceSpecificExitCode);
}

}  // namespace

void serviceMain() {
    g_serviceExitCode = 1;
    g_userInfo = std::make_unique<UserInformation>();

    platform::StatusHandle handle = 0;
    if (platform::serviceControl().registerHandler(kServiceName, serviceControlHandler, handle) !=
        0) {
        return;
    }
    g_statusHandle = handle;
    g_serviceStatus.serviceType = platform::kServiceWin32OwnProcess;
    g_serviceStatus.serviceSpecificExitCode = 0;

    bool stoppedOnRequest = false;
    if (reportServiceStatus(platform::kServiceStartPending, kStartPendingWaitHint)) {
        stoppedOnRequest = ServiceStart();
    }
    // A relay that could not start or failed must not look like a clean
    // stop: the service manager's restart policy acts only on a failure.
    reportServiceStatus(platform::kServiceStopped, 0, stoppedOnRequest ? 0 : kRelayFailedExitCode);
    g_serviceExitCode = stoppedOnRequest ? 0 : 1;
}

std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                                    void* /*context*/) {
    switch (control) {
        case platform::kServiceControlStop:
            reportServiceStatus(platform::kServiceStopPending, 0);
            requestServerStop();
            return 0;
        case platform::kServiceControlInterrogate:
            reportCurrentServiceStatus();
            return 0;
        case platform::kServiceControlSessionChange:
            if (g_userInfo && eventData != nullptr) {
                g_userInfo->onSessionChange(
                    *static_cast<const platform::SessionNotification*>(eventData), eventType);
            }
            reportCurrentServiceStatus();
            return 0;
        default:
            reportCurrentServiceStatus();
            return platform::kErrorCallNotImplemented;
    }
}

bool reportServiceStatus(std::uint32_t state, std::uint32_t waitHint,
                         std::uint32_t serviceSpecificExitCode) {
    if (g_debugMode)
        return true;
    std::lock_guard<std::mutex> lock(g_statusMutex);
    return sendStatusLocked(state, waitHint, serviceSpecificExitCode);
}

int serviceExitCode() {
    return g_serviceExitCode.load();
}

void resetStatusCheckPoint() {
    std::lock_guard<std::mutex> lock(g_statusMutex);
    g_checkPoint = 1;
}
