// Service control manager seam: dispatcher, control handler, status reports,
// install and remove.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/unique_handle.h"

namespace platform {

using StatusHandle = std::uintptr_t;
using ScmHandle = std::uintptr_t;

// A service manager or service handle of the installer and the remover,
// closed through the service control seam in use.
struct ScmHandleTraits {
    using Handle = ScmHandle;
    static Handle invalid() { return 0; }
    static void release(Handle handle);
};
using UniqueScmHandle = UniqueHandle<ScmHandleTraits>;

struct ServiceStatus {
    std::uint32_t serviceType = 0;
    std::uint32_t currentState = 0;
    std::uint32_t controlsAccepted = 0;
    std::uint32_t win32ExitCode = 0;
    std::uint32_t serviceSpecificExitCode = 0;
    std::uint32_t checkPoint = 0;
    std::uint32_t waitHint = 0;
};

constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
constexpr std::uint32_t kServiceStopped = 1;
constexpr std::uint32_t kServiceStartPending = 2;
constexpr std::uint32_t kServiceStopPending = 3;
constexpr std::uint32_t kServiceRunning = 4;
constexpr std::uint32_t kServiceAcceptStop = 0x1;
constexpr std::uint32_t kServiceAcceptSessionChange = 0x80;

constexpr std::uint32_t kServiceControlStop = 1;
constexpr std::uint32_t kServiceControlInterrogate = 4;
constexpr std::uint32_t kServiceControlSessionChange = 14;

constexpr std::uint32_t kWtsSessionLogon = 5;
constexpr std::uint32_t kWtsSessionLogoff = 6;

// WTSSESSION_NOTIFICATION.
struct SessionNotification {
    std::uint32_t size = sizeof(SessionNotification);
    std::uint32_t sessionId = 0;
};

// What the service manager does when the service ends without having
// reported stopped: restart it after each delay in turn (the last one for
// every failure after), and count failures afresh after resetPeriodSeconds
// without one (SERVICE_FAILURE_ACTIONSW with SC_ACTION_RESTART). With
// onNonCrashFailures the same goes for a service that reports stopped with
// an exit code other than 0 (SERVICE_FAILURE_ACTIONS_FLAG).
struct FailureActions {
    std::uint32_t resetPeriodSeconds = 0;
    std::vector<std::uint32_t> restartDelaysMillis;
    bool onNonCrashFailures = false;
};

using ServiceMainFn = void (*)();
using ControlHandlerFn = std::uint32_t (*)(std::uint32_t control, std::uint32_t eventType,
                                           void* eventData, void* context);

// Access rights used by the installer and the remover.
constexpr std::uint32_t kScManagerConnect = 0x0001;
constexpr std::uint32_t kScManagerCreateService = 0x0002;
constexpr std::uint32_t kServiceChangeConfig = 0x0002;
constexpr std::uint32_t kServiceQueryStatus = 0x0004;
constexpr std::uint32_t kServiceStart = 0x0010;
constexpr std::uint32_t kServiceStop = 0x0020;
constexpr std::uint32_t kDelete = 0x10000;

class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // StartServiceCtrlDispatcherW with one entry; returns when the service
    // has stopped. 0 or an error code.
    virtual std::uint32_t startDispatcher(const std::wstring& name, ServiceMainFn serviceMain);
    // RegisterServiceCtrlHandlerExW.
    virtual std::uint32_t registerHandler(const std::wstring& name, ControlHandlerFn handler,
                                          StatusHandle& out);
    // SetServiceStatus.
    virtual std::uint32_t setStatus(StatusHandle handle, const ServiceStatus& status);
    // One line on what the running service is doing, for the service
    // manager's own view of it (systemd: STATUS=). 0 or an error code.
    virtual std::uint32_t setStatusText(const std::wstring& text);

    // Installer and remover.
    virtual std::uint32_t openManager(std::uint32_t access, ScmHandle& out);
    // The new handle may query the status, change the configuration and
    // start the service (what setting failure actions needs).
    virtual std::uint32_t createService(ScmHandle manager, const std::wstring& name,
                                        const std::wstring& displayName,
                                        const std::wstring& binaryPath, ScmHandle& out);
    virtual std::uint32_t openService(ScmHandle manager, const std::wstring& name,
                                      std::uint32_t access, ScmHandle& out);
    virtual std::uint32_t controlStop(ScmHandle service, ServiceStatus& status);
    virtual std::uint32_t queryStatus(ScmHandle service, ServiceStatus& status);
    virtual std::uint32_t deleteService(ScmHandle service);
    // ChangeServiceConfig2W(SERVICE_CONFIG_FAILURE_ACTIONS, then
    // SERVICE_CONFIG_FAILURE_ACTIONS_FLAG); the handle needs
    // kServiceChangeConfig and kServiceStart.
    virtual std::uint32_t setFailureActions(ScmHandle service, const FailureActions& actions);
    virtual void closeHandle(ScmHandle handle);
};

}  // namespace platform
