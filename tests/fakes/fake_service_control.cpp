#include "tests/fakes/fake_service_control.h"

#include <algorithm>

namespace {

std::string narrowed(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

}  // namespace

std::uint32_t FakeServiceControl::startDispatcher(const std::wstring&,
                                                  platform::ServiceMainFn serviceMain) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_dispatcherCalls;
    }
    if (m_dispatcherResult == 0 && m_runServiceMain)
        serviceMain();
    return m_dispatcherResult;
}

std::uint32_t FakeServiceControl::registerHandler(const std::wstring& name,
                                                  platform::ControlHandlerFn handler,
                                                  platform::StatusHandle& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_registeredNames.push_back(name);
    if (m_registerResult != 0) {
        out = 0;
        return m_registerResult;
    }
    m_handler = handler;
    out = kHandle;
    return 0;
}

std::uint32_t FakeServiceControl::setStatus(platform::StatusHandle handle,
                                            const platform::ServiceStatus& status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reports.push_back(status);
    m_reportHandles.push_back(handle);
    if (m_refuseState != 0 && status.currentState == m_refuseState)
        return 5;
    return m_setStatusResult;
}

std::uint32_t FakeServiceControl::setStatusText(const std::wstring& text) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_statusTexts.push_back(text);
    }
    m_statusTextArrived.notify_all();
    return 0;
}

bool FakeServiceControl::waitForStatusTexts(std::size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_statusTextArrived.wait_for(lock, limit, [&] { return m_statusTexts.size() >= n; });
}

std::vector<std::wstring> FakeServiceControl::statusTexts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_statusTexts;
}

std::uint32_t FakeServiceControl::sendControl(std::uint32_t control, std::uint32_t eventType,
                                              void* eventData) {
    platform::ControlHandlerFn handler;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        handler = m_handler;
    }
    if (handler == nullptr)
        return 0xFFFFFFFFu;
    return handler(control, eventType, eventData, nullptr);
}

std::vector<platform::ServiceStatus> FakeServiceControl::reports() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reports;
}

std::vector<platform::StatusHandle> FakeServiceControl::reportHandles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_reportHandles;
}

void FakeServiceControl::record(const std::string& call) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_calls.push_back(call);
}

std::uint32_t FakeServiceControl::openManager(std::uint32_t access, platform::ScmHandle& out) {
    record("openManager access=" + std::to_string(access));
    out = 0;
    if (m_openManagerResult != 0)
        return m_openManagerResult;
    std::lock_guard<std::mutex> lock(m_mutex);
    out = m_nextHandle++;
    m_open.push_back(out);
    return 0;
}

std::uint32_t FakeServiceControl::createService(platform::ScmHandle, const std::wstring& name,
                                                const std::wstring& displayName,
                                                const std::wstring& binaryPath,
                                                platform::ScmHandle& out) {
    record("createService " + narrowed(name) + "|" + narrowed(displayName) + "|" +
           narrowed(binaryPath));
    out = 0;
    if (m_createResult != 0)
        return m_createResult;
    std::lock_guard<std::mutex> lock(m_mutex);
    out = m_nextHandle++;
    m_open.push_back(out);
    return 0;
}

std::uint32_t FakeServiceControl::openService(platform::ScmHandle, const std::wstring& name,
                                              std::uint32_t access, platform::ScmHandle& out) {
    record("openService " + narrowed(name) + " access=" + std::to_string(access));
    out = 0;
    if (m_openServiceResult != 0)
        return m_openServiceResult;
    std::lock_guard<std::mutex> lock(m_mutex);
    out = m_nextHandle++;
    m_open.push_back(out);
    return 0;
}

std::uint32_t FakeServiceControl::controlStop(platform::ScmHandle,
                                              platform::ServiceStatus& status) {
    record("controlStop");
    if (m_controlStopResult != 0)
        return m_controlStopResult;
    status.currentState = m_stopState;
    return 0;
}

std::uint32_t FakeServiceControl::queryStatus(platform::ScmHandle,
                                              platform::ServiceStatus& status) {
    record("queryStatus");
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_queryStates.empty())
        return 6;  // ERROR_INVALID_HANDLE
    status.currentState = m_queryStates.front();
    m_queryStates.pop_front();
    return 0;
}

std::uint32_t FakeServiceControl::deleteService(platform::ScmHandle) {
    record("deleteService");
    return m_deleteResult;
}

std::uint32_t FakeServiceControl::setFailureActions(platform::ScmHandle service,
                                                    const platform::FailureActions& actions) {
    std::string delays;
    for (const std::uint32_t delay : actions.restartDelaysMillis)
        delays += (delays.empty() ? "" : ",") + std::to_string(delay);
    record("setFailureActions " + std::to_string(service) +
           " reset=" + std::to_string(actions.resetPeriodSeconds) + " restart=" + delays +
           " non-crash=" + (actions.onNonCrashFailures ? "1" : "0"));
    return m_failureActionsResult;
}

void FakeServiceControl::closeHandle(platform::ScmHandle handle) {
    record("close " + std::to_string(handle));
    std::lock_guard<std::mutex> lock(m_mutex);
    m_open.erase(std::remove(m_open.begin(), m_open.end(), handle), m_open.end());
}

std::vector<std::string> FakeServiceControl::calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::size_t FakeServiceControl::openHandles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open.size();
}
