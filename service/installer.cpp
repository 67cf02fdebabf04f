#include "service/installer.h"

#include <string>

#include "platform/platform.h"
#include "service/console.h"
#include "support/service_names.h"

namespace {

constexpr std::uint32_t kModulePathCapacity = 512;
constexpr std::uint32_t kStopPollMillis = 1000;
constexpr std::uint32_t kFailureCountResetSeconds = 24 * 60 * 60;

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
    platform::ServiceStatus status;
    if (control.controlStop(service, status) != 0)
        return true;  // not running, or it cannot take a stop: removal goes on

    consolePrint(L"Stopping " + displayName() + L".");
    platform::process().sleepMillis(kStopPollMillis);
    while (control.queryStatus(service, status) == 0 &&
           status.currentState == platform::kServiceStopPending) {
        consolePrint(std::wstring(L"."));
        platform::process().sleepMillis(kStopPollMillis);
    }
    if (status.currentState == platform::kServiceStopped) {
        consolePrint(L"\n" + displayName() + L" stopped.\n");
        return true;
    }
    consolePrint(L"\n" + displayName() + L" failed to stop.\n");
    return false;
}

// Opens the service manager, or reports why not.
bool openManager(std::uint32_t access, platform::UniqueScmHandle& manager) {
    const std::uint32_t error = platform::serviceControl().openManager(access, *manager.out());
    if (error != 0) {
        printFailure(L"OpenSCManager failed - ", error);
        return false;
    }
    return true;
}

// Opens the installed service with `access`, or reports why not; the
// manager handle stays open with it.
bool openInstalledService(std::uint32_t access, platform::UniqueScmHandle& manager,
                          platform::UniqueScmHandle& service) {
    if (!openManager(platform::kScManagerConnect, manager))
        return false;
    const std::uint32_t error =
        platform::serviceControl().openService(manager.get(), kServiceName, access, *service.out());
    if (error != 0) {
        printFailure(L"OpenService failed - ", error);
        return false;
    }
    return true;
}

}  // namespace

bool installService() {
    std::wstring path;
    const std::uint32_t pathError = platform::process().modulePath(kModulePathCapacity, path);
    if (pathError != 0) {
        printFailure(L"Unable to install " + displayName() + L" - ", pathError);
        return false;
    }
    platform::UniqueScmHandle manager;
    if (!openManager(platform::kScManagerConnect | platform::kScManagerCreateService, manager))
        return false;
    platform::UniqueScmHandle service;
    const std::uint32_t error = platform::serviceControl().createService(
        manager.get(), kServiceName, displayName(), path, *service.out());
    if (error != 0) {
        printFailure(L"CreateService failed - ", error);
        return false;
    }
    consolePrint(displayName() + L" installed.\n");
    const bool restarts = setRestartActions(service.get());
    return registerEventSource(path) && restarts;
}

bool removeService() {
    platform::UniqueScmHandle manager;
    platform::UniqueScmHandle service;
    if (!openInstalledService(
            platform::kDelete | platform::kServiceStop | platform::kServiceQueryStatus, manager,
            service)) {
        return false;
    }
    const bool stopped = stopBeforeRemoval(service.get());

    const std::uint32_t error = platform::serviceControl().deleteService(service.get());
    if (error != 0) {
        printFailure(L"DeleteService failed - ", error);
        return false;
    }
    consolePrint(displayName() + L" removed.\n");
    return removeEventSource() && stopped;
}

bool setServiceRestartActions() {
    platform::UniqueScmHandle manager;
    platform::UniqueScmHandle service;
    if (!openInstalledService(platform::kServiceChangeConfig | platform::kServiceStart, manager,
                              service)) {
        return false;
    }
    return setRestartActions(service.get());
}
