#include "service/service_status.h"

#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"

namespace {

constexpr std::uint32_t kAcceptedWhenStarted =
    platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange;

}  // namespace

void ServiceStatusReporter::attach(platform::StatusHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_statusHandle = handle;
    m_serviceStatus.serviceType = platform::kServiceWin32OwnProcess;
    m_serviceStatus.serviceSpecificExitCode = 0;
}

bool ServiceStatusReporter::reportServiceStatus(std::uint32_t state, std::uint32_t waitHint,
                                                std::uint32_t serviceSpecificExitCode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_statusHandle == 0)
        return true;
    return sendLocked(state, waitHint, serviceSpecificExitCode);
}

void ServiceStatusReporter::reportCurrentServiceStatus() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_statusHandle != 0)
        sendLocked(m_serviceStatus.currentState, 0, m_serviceStatus.serviceSpecificExitCode);
}

bool ServiceStatusReporter::sendLocked(std::uint32_t state, std::uint32_t waitHint,
                                       std::uint32_t serviceSpecificExitCode) {
    m_serviceStatus.controlsAccepted =
        state == platform::kServiceStartPending ? 0 : kAcceptedWhenStarted;
    m_serviceStatus.currentState = state;
    m_serviceStatus.win32ExitCode =
        serviceSpecificExitCode != 0 ? platform::kErrorServiceSpecificError : 0;
    m_serviceStatus.serviceSpecificExitCode = serviceSpecificExitCode;
    m_serviceStatus.waitHint = waitHint;
    if (state == platform::kServiceRunning || state == platform::kServiceStopped) {
        m_serviceStatus.checkPoint = 0;
    } else {
        m_serviceStatus.checkPoint = m_checkPoint++;
    }
    const std::uint32_t error =
        platform::serviceControl().setStatus(m_statusHandle, m_serviceStatus);
    if (error != 0) {
        logEvent(L"SetServiceStatus call failed: " + std::to_wstring(error), kEventTypeError);
        return false;
    }
    return true;
}
