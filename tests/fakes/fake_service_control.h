// A service manager that records every status report and lets a test hand
// controls to the registered handler; the installer's and remover's calls
// are recorded and their results scripted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "platform/service_control.h"

class FakeServiceControl : public platform::ServiceControl {
public:
    static constexpr platform::StatusHandle kHandle = 0x5151;

    // Dispatcher and status reports.
    std::uint32_t startDispatcher(const std::wstring& name,
                                  platform::ServiceMainFn serviceMain) override;
    std::uint32_t registerHandler(const std::wstring& name, platform::ControlHandlerFn handler,
                                  platform::StatusHandle& out) override;
    std::uint32_t setStatus(platform::StatusHandle handle,
                            const platform::ServiceStatus& status) override;
    // Recorded in statusTexts().
    std::uint32_t setStatusText(const std::wstring& text) override;
    std::vector<std::wstring> statusTexts() const;
    // Waits until at least n status texts have arrived.
    bool waitForStatusTexts(std::size_t n,
                            std::chrono::milliseconds limit = std::chrono::seconds(20));

    // Calls the registered handler as the service manager would; 0xFFFFFFFF
    // when none is registered.
    std::uint32_t sendControl(std::uint32_t control, std::uint32_t eventType = 0,
                              void* eventData = nullptr);
    std::vector<platform::ServiceStatus> reports() const;
    std::vector<platform::StatusHandle> reportHandles() const;

    std::uint32_t m_dispatcherResult = 0;
    // The dispatcher calls the service main routine (on the caller's
    // thread) before it returns.
    bool m_runServiceMain = false;
    std::uint32_t m_registerResult = 0;
    std::uint32_t m_setStatusResult = 0;
    // Refuses only reports of this state (0: none).
    std::uint32_t m_refuseState = 0;
    int m_dispatcherCalls = 0;
    std::vector<std::wstring> m_registeredNames;

    // Installer and remover.
    std::uint32_t openManager(std::uint32_t access, platform::ScmHandle& out) override;
    std::uint32_t createService(platform::ScmHandle manager, const std::wstring& name,
                                const std::wstring& displayName, const std::wstring& binaryPath,
                                platform::ScmHandle& out) override;
    std::uint32_t openService(platform::ScmHandle manager, const std::wstring& name,
                              std::uint32_t access, platform::ScmHandle& out) override;
    std::uint32_t controlStop(platform::ScmHandle service,
                              platform::ServiceStatus& status) override;
    std::uint32_t queryStatus(platform::ScmHandle service,
                              platform::ServiceStatus& status) override;
    std::uint32_t deleteService(platform::ScmHandle service) override;
    std::uint32_t setFailureActions(platform::ScmHandle service,
                                    const platform::FailureActions& actions) override;
    void closeHandle(platform::ScmHandle handle) override;

    std::uint32_t m_openManagerResult = 0;
    std::uint32_t m_createResult = 0;
    std::uint32_t m_openServiceResult = 0;
    std::uint32_t m_controlStopResult = 0;
    std::uint32_t m_stopState = platform::kServiceStopPending;  // returned by controlStop
    // States returned by successive queries; once used up, queries fail.
    std::deque<std::uint32_t> m_queryStates;
    std::uint32_t m_deleteResult = 0;
    std::uint32_t m_failureActionsResult = 0;

    // "openManager access=3", "createService VornClient|<display>|<path>",
    // "openService VornClient access=...", "controlStop", "queryStatus",
    // "deleteService", "setFailureActions <handle> reset=86400
    // restart=5000,10000,60000 non-crash=1", "close <handle>".
    std::vector<std::string> calls() const;
    // Handles opened and not yet closed.
    std::size_t openHandles() const;

private:
    void record(const std::string& call);

    mutable std::mutex m_mutex;
    platform::ControlHandlerFn m_handler = nullptr;
    std::vector<platform::ServiceStatus> m_reports;
    std::vector<platform::StatusHandle> m_reportHandles;
    std::vector<std::string> m_calls;
    std::vector<std::wstring> m_statusTexts;
    std::condition_variable m_statusTextArrived;
    std::vector<platform::ScmHandle> m_open;
    platform::ScmHandle m_nextHandle = 100;
};
