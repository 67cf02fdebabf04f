// The service manager seam on Linux. The dispatcher runs the service main
// routine on a thread of its own and turns SIGTERM and SIGINT into the stop
// control, delivered from the dispatcher's thread; status reports become
// service manager notifications (READY=1, STOPPING=1); install and remove
// write and delete a systemd unit and drive it with systemctl.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/session_watcher.h"
#include "platform/service_control.h"

namespace platform {

class PosixServiceControl : public ServiceControl {
public:
    // Runs a command, returns its exit status (or -1 when it cannot run) and
    // what it printed. Replaceable so that tests need no real systemctl.
    using CommandRunner = std::function<int(const std::vector<std::string>&, std::string&)>;

    PosixServiceControl();

    void setCommandRunner(CommandRunner runner);

    std::uint32_t startDispatcher(const std::wstring& name, ServiceMainFn serviceMain) override;
    std::uint32_t registerHandler(const std::wstring& name, ControlHandlerFn handler,
                                  StatusHandle& out) override;
    std::uint32_t setStatus(StatusHandle handle, const ServiceStatus& status) override;
    // STATUS=<text>, which `systemctl status` shows.
    std::uint32_t setStatusText(const std::wstring& text) override;

    std::uint32_t openManager(std::uint32_t access, ScmHandle& out) override;
    std::uint32_t createService(ScmHandle manager, const std::wstring& name,
                                const std::wstring& displayName, const std::wstring& binaryPath,
                                ScmHandle& out) override;
    std::uint32_t openService(ScmHandle manager, const std::wstring& name, std::uint32_t access,
                              ScmHandle& out) override;
    std::uint32_t controlStop(ScmHandle service, ServiceStatus& status) override;
    std::uint32_t queryStatus(ScmHandle service, ServiceStatus& status) override;
    std::uint32_t deleteService(ScmHandle service) override;
    // The unit carries its own restart policy: nothing to set.
    std::uint32_t setFailureActions(ScmHandle service, const FailureActions& actions) override;
    void closeHandle(ScmHandle handle) override;

    // Hands the running service a stop control, as SIGTERM does. Delivered
    // on the dispatcher's thread once a handler is registered and the last
    // status report accepts stop.
    void postStopControl();
    // Hands the service a session change (logon or logoff of a uid), as the
    // session watcher does. Delivered on the dispatcher's thread once the
    // last status report accepts session changes.
    void postSessionEvent(std::uint32_t eventType, std::uint32_t sessionId);

    // The notification text for a reported state ("READY=1..." and so on).
    static std::string notificationFor(const ServiceStatus& status);

private:
    struct Handle {
        bool isService = false;
        std::string unitDir;
        std::string unitPath;  // services only
        std::string unitName;  // services only
    };

    void wakeDispatcher();
    // The dispatcher's state before the service runs and after it ended.
    void beginDispatch(int wakeFd);
    void endDispatch();
    // serviceMain on a thread of its own while this one dispatches the
    // stop signals and controls; the dispatcher's result.
    std::uint32_t runService(ServiceMainFn serviceMain, int signalFd, int wakeFd);
    std::uint32_t dispatchUntilStopped(int signalFd, int wakeFd);
    bool findHandle(ScmHandle handle, bool wantService, Handle& out);
    ScmHandle addHandle(const Handle& handle);
    int run(const std::vector<std::string>& argv, std::string& output);
    void reloadUnits(const std::string& unitDir);
    // ServiceStatus.currentState from `systemctl is-active`.
    std::uint32_t activeState(const std::string& unitName);

    std::mutex m_mutex;
    CommandRunner m_runner;
    // Dispatcher state, guarded by m_mutex.
    bool m_dispatching = false;
    int m_wakeFd = -1;
    ControlHandlerFn m_handler = nullptr;
    // As last reported: the service manager hands a control only to a
    // service that has said it accepts it.
    bool m_acceptsStop = false;
    bool m_acceptsSessionChange = false;
    unsigned m_pendingStops = 0;
    bool m_serviceEnded = false;
    // Logons and logoffs waiting to reach the handler on the dispatcher's
    // thread: (event type, uid).
    std::deque<std::pair<std::uint32_t, std::uint32_t>> m_sessionEvents;
    posix::SessionWatcher m_sessionWatcher;
    // Installer and remover handles.
    std::map<ScmHandle, Handle> m_handles;
    ScmHandle m_nextHandle = 1;
};

}  // namespace platform
