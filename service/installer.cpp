#include "service/installer.h"

#include <string>

#include "platform/platform.h"
#include "service/command_line.h"
#include "service/console.h"
#include "service/service_status.h"
#include "support/service_names.h"

namespace {

constexpr std::uint32_t kModulePathCapacity = 512;
constexpr std::uint32_t kStopPollMillis = 1000;
constexpr std::uint32_t kFailureCountResetSeconds = 24 * 60 * 60;

// Closes a service manager handle on every path.
class ScmHandleGuard {
public:
    ScmHandleGuard() = default;
    ~ScmHandleGuard() {
        if (m_handle != 0)
            platform::serviceControl().closeHandle(m_handle);
    }
    ScmHandleGuard(const ScmHandleGuard&) = delete;
    ScmHandleGuard& operator=(const ScmHandleGuard&) = delete;
    platform::ScmHandle& ref() { return m_handle; }
    platform::ScmHandle get() const { return m_handle; }

private:
    platform::ScmHandle m_handle = 0;
};

const std::wstring& displayName() {
    static const std::wstring g_displayName = kServiceDisplayName;
    return g_displayName;
}

// A relay that crashed, or ended on a failure of its own (stopped with an
// exit code), leaves the machine without web access: the service manager
// starts it again, soon at first, then less often.
bool setRestartActions(platform::ScmHandle service) {
    platform::FailureActions actions;
    actions.resetPeriodSeconds = kFailureCountResetSeconds;
    actions.restartDelaysMillis = {5000, 10000, 60000};
    actions.onNonCrashFailures = true;
    const std::uint32_t error = platform::serviceControl().setFailureActions(service, actions);
    if (error != 0) {
        printFailure(L"ChangeServiceConfig2 failed - ", error);
        return false;
    }
    return true;
}

// Event viewers find the message table through the source's registration.
bool registerEventSource(const std::wstring& programPath) {
    const std::uint32_t error = platform::eventLog().registerSource(kServiceName, programPath);
    if (error != 0) {
        printFailure(std::wstring(L"Unable to register event source ") + kServiceName + L" - ",
                     error);
        return false;
    }
    return true;
}

bool removeEventSource() {
    const std::uint32_t error = platform::eventLog().removeSource(kServiceName);
    if (error != 0) {
        printFailure(std::wstring(L"Unable to remove event source ") + kServiceName + L" - ",
                     error);
        return false;
    }
    return true;
}

// False when the service was running and did not stop.
bool stopBeforeRemoval(platform::ScmHandle service) {
    platform::ServiceControl& control = platform::serviceControl();
    if (control.controlStop(service, g_serviceStatus) != 0)
        return true;  // not running, or it cannot take a stop: removal goes on

    consolePrint(L"Stopping " + displayName() + L".");
    platform::process().sleepMillis(kStopPollMillis);
    while (control.queryStatus(service, g_serviceStatus) == 0 &&
           g_serviceStatus.currentState == platform::kServiceStopPending) {
        consolePrint(std::wstring(L"."));
        platform::process().sleepMillis(kStopPollMillis);
    }
    if (g_serviceStatus.currentState == platform::kServiceStopped) {
        consolePrint(L"\n" + displayName() + L" stopped.\n");
        return true;
    }
    consolePrint(L"\n" + displayName() + L" failed to stop.\n");
    return false;
}

}  // namespace

bool installService() {
    std::wstring path;
    const std::uint32_t pathError = platform::process().modulePath(kModulePathCapacity, path);
    if (pathError != 0) {
        printFailure(L"Unable to install " + displayName() + L" - ", pathError);
        return false;
    }

    platform::ServiceControl& control = platform::serviceControl();
    ScmHandleGuard manager;
    std::uint32_t error = control.openManager(
        platform::kScManagerConnect | platform::kScManagerCreateService, manager.ref());
    if (error != 0) {
        printFailure(L"OpenSCManager failed - ", error);
        return false;
    }

    ScmHandleGuard service;
    error = control.createService(manager.get(), kServiceName, displayName(), path, service.ref());
    if (error != 0) {
        printFailure(L"CreateService failed - ", error);
        return false;
    }
    consolePrint(displayName() + L" installed.\n");
    const bool restarts = setRestartActions(service.get());
    return registerEventSource(path) && restarts;
}

bool removeService() {
    platform::ServiceControl& control = platform::serviceControl();
    ScmHandleGuard manager;
    std::uint32_t error = control.openManager(platform::kScManagerConnect, manager.ref());
    if (error != 0) {
        printFailure(L"OpenSCManager failed - ", error);
        return false;
    }

    ScmHandleGuard service;
    error = control.openService(
        manager.get(), kServiceName,
        platform::kDelete | platform::kServiceStop | platform::kServiceQueryStatus, service.ref());
    if (error != 0) {
        printFailure(L"OpenService failed - ", error);
        return false;
    }

    const bool stopped = stopBeforeRemoval(service.get());

    error = control.deleteService(service.get());
    if (error != 0) {
        printFailure(L"DeleteService failed - ", error);
        return false;
    }
    consolePrint(displayName() + L" removed.\n");
    return removeEventSource() && stopped;
}

bool setServiceRestartActions() {
    platform::ServiceControl& control = platform::serviceControl();
    ScmHandleGuard manager;
    std::uint32_t error = control.openManager(platform::kScManagerConnect, manager.ref());
    if (error != 0) {
        printFailure(L"OpenSCManager failed - ", error);
        return false;
    }
    ScmHandleGuard service;
    error = control.openService(manager.get(), kServiceName,
                                platform::kServiceChangeConfig | platform::kServiceStart,
                                service.ref());
    if (error != 0) {
        printFailure(L"OpenService failed - ", error);
        return false;
    }
    return setRestartActions(service.get());
}
