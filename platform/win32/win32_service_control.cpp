// The service control manager: dispatcher, control handler, status reports,
// install and remove.
#include "platform/win32/win32_service_control.h"

#include <windows.h>
#include <wtsapi32.h>

#include <atomic>
#include <vector>

#include "platform/platform.h"

namespace platform {
namespace win32 {

std::uint32_t forwardControl(ControlHandlerFn handler, std::uint32_t control,
                             std::uint32_t eventType, void* eventData, void* context) {
    if (handler == nullptr)
        return ERROR_CALL_NOT_IMPLEMENTED;
    if (control == SERVICE_CONTROL_SESSIONCHANGE && eventData != nullptr) {
        const auto* native = static_cast<const WTSSESSION_NOTIFICATION*>(eventData);
        SessionNotification notification;
        notification.size = sizeof(notification);
        notification.sessionId = native->dwSessionId;
        return handler(control, eventType, &notification, context);
    }
    return handler(control, eventType, eventData, context);
}

}  // namespace win32

namespace {

static_assert(sizeof(SessionNotification) == sizeof(WTSSESSION_NOTIFICATION),
              "session notification layout");

// The system calls back through plain functions without a context of ours,
// so the routines to call are kept process-wide.
std::atomic<ServiceMainFn> g_serviceMain{nullptr};
std::atomic<ControlHandlerFn> g_controlHandler{nullptr};

void WINAPI serviceMainTrampoline(DWORD, LPWSTR*) {
    const ServiceMainFn serviceMain = g_serviceMain.load();
    if (serviceMain != nullptr)
        serviceMain();
}

DWORD WINAPI controlHandlerTrampoline(DWORD control, DWORD eventType, LPVOID eventData,
                                      LPVOID context) {
    return win32::forwardControl(g_controlHandler.load(), control, eventType, eventData, context);
}

std::uint32_t result(bool ok) {
    return ok ? 0 : ::GetLastError();
}

SC_HANDLE toScHandle(ScmHandle handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

ServiceStatus fromNative(const SERVICE_STATUS& s) {
    ServiceStatus status;
    status.serviceType = s.dwServiceType;
    status.currentState = s.dwCurrentState;
    status.controlsAccepted = s.dwControlsAccepted;
    status.win32ExitCode = s.dwWin32ExitCode;
    status.serviceSpecificExitCode = s.dwServiceSpecificExitCode;
    status.checkPoint = s.dwCheckPoint;
    status.waitHint = s.dwWaitHint;
    return status;
}

SERVICE_STATUS toNative(const ServiceStatus& status) {
    SERVICE_STATUS s{};
    s.dwServiceType = status.serviceType;
    s.dwCurrentState = status.currentState;
    s.dwControlsAccepted = status.controlsAccepted;
    s.dwWin32ExitCode = status.win32ExitCode;
    s.dwServiceSpecificExitCode = status.serviceSpecificExitCode;
    s.dwCheckPoint = status.checkPoint;
    s.dwWaitHint = status.waitHint;
    return s;
}

std::uint32_t handleResult(SC_HANDLE handle, ScmHandle& out) {
    out = reinterpret_cast<ScmHandle>(handle);
    return result(handle != nullptr);
}

class Win32ServiceControl : public ServiceControl {
public:
    std::uint32_t startDispatcher(const std::wstring& name, ServiceMainFn serviceMain) override {
        g_serviceMain.store(serviceMain);
        // The table entry wants a writable name; it must outlive the call.
        std::wstring serviceName = name;
        SERVICE_TABLE_ENTRYW table[] = {{&serviceName[0], serviceMainTrampoline},
                                        {nullptr, nullptr}};
        return result(::StartServiceCtrlDispatcherW(table) != FALSE);
    }

    std::uint32_t registerHandler(const std::wstring& name, ControlHandlerFn handler,
                                  StatusHandle& out) override {
        g_controlHandler.store(handler);
        const SERVICE_STATUS_HANDLE handle =
            ::RegisterServiceCtrlHandlerExW(name.c_str(), controlHandlerTrampoline, nullptr);
        out = reinterpret_cast<StatusHandle>(handle);
        return result(handle != nullptr);
    }

    std::uint32_t setStatus(StatusHandle handle, const ServiceStatus& status) override {
        SERVICE_STATUS s = toNative(status);
        return result(::SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &s) !=
                      FALSE);
    }

    std::uint32_t openManager(std::uint32_t access, ScmHandle& out) override {
        return handleResult(::OpenSCManagerW(nullptr, nullptr, access), out);
    }

    // Own process, started on demand, normal error control, run as
    // LocalSystem (no account, no password), the path unquoted and without
    // arguments, no load-order group, no tag and an empty dependency list.
    // The handle may also change the configuration and start the service,
    // which setting restart actions needs.
    std::uint32_t createService(ScmHandle manager, const std::wstring& name,
                                const std::wstring& displayName, const std::wstring& binaryPath,
                                ScmHandle& out) override {
        return handleResult(
            ::CreateServiceW(toScHandle(manager), name.c_str(), displayName.c_str(),
                             SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                             SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                             binaryPath.c_str(), nullptr, nullptr, L"\0", nullptr, nullptr),
            out);
    }

    std::uint32_t openService(ScmHandle manager, const std::wstring& name, std::uint32_t access,
                              ScmHandle& out) override {
        return handleResult(::OpenServiceW(toScHandle(manager), name.c_str(), access), out);
    }

    std::uint32_t controlStop(ScmHandle service, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        const std::uint32_t error =
            result(::ControlService(toScHandle(service), SERVICE_CONTROL_STOP, &s) != FALSE);
        if (error == 0)
            status = fromNative(s);
        return error;
    }

    std::uint32_t queryStatus(ScmHandle service, ServiceStatus& status) override {
        SERVICE_STATUS s{};
        const std::uint32_t error = result(::QueryServiceStatus(toScHandle(service), &s) != FALSE);
        if (error == 0)
            status = fromNative(s);
        return error;
    }

    std::uint32_t deleteService(ScmHandle service) override {
        return result(::DeleteService(toScHandle(service)) != FALSE);
    }

    std::uint32_t setFailureActions(ScmHandle service, const FailureActions& actions) override {
        std::vector<SC_ACTION> steps;
        for (const std::uint32_t delay : actions.restartDelaysMillis)
            steps.push_back(SC_ACTION{SC_ACTION_RESTART, delay});
        SERVICE_FAILURE_ACTIONSW info{};
        info.dwResetPeriod = actions.resetPeriodSeconds;
        info.cActions = static_cast<DWORD>(steps.size());
        info.lpsaActions = steps.empty() ? nullptr : steps.data();
        const std::uint32_t error =
            result(::ChangeServiceConfig2W(toScHandle(service), SERVICE_CONFIG_FAILURE_ACTIONS,
                                           &info) != FALSE);
        if (error != 0)
            return error;
        // Without the flag only a crash counts: a service that reports
        // stopped with an exit code of its own would stay stopped.
        SERVICE_FAILURE_ACTIONS_FLAG flag{};
        flag.fFailureActionsOnNonCrashFailures = actions.onNonCrashFailures ? TRUE : FALSE;
        const std::uint32_t flagError =
            result(::ChangeServiceConfig2W(toScHandle(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG,
                                           &flag) != FALSE);
        // A service manager that does not know the setting (Wine's) still
        // restarts after a crash: the actions above are in place.
        return flagError == ERROR_INVALID_LEVEL ? 0 : flagError;
    }

    // Windows shows no status line of a service.
    std::uint32_t setStatusText(const std::wstring&) override { return 0; }

    void closeHandle(ScmHandle handle) override {
        if (handle != 0)
            ::CloseServiceHandle(toScHandle(handle));
    }
};

}  // namespace

ServiceControl& nativeServiceControl() {
    static Win32ServiceControl g_instance;
    return g_instance;
}

}  // namespace platform
