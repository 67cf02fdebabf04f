// The service control seam: control forwarding, and the manager calls that
// a test may make without disturbing the machine.
#include <gtest/gtest.h>

#include <windows.h>
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/win32/win32_service_control.h"
#include "tests/win32/win32_test_support.h"

namespace {

using platform::ScmHandle;

struct SeenControl {
    std::uint32_t control = 0;
    std::uint32_t eventType = 0;
    void* data = nullptr;
    std::uint32_t sessionId = 0;
    std::uint32_t size = 0;
};
SeenControl g_seen;

std::uint32_t recordControl(std::uint32_t control, std::uint32_t eventType, void* data, void*) {
    g_seen.control = control;
    g_seen.eventType = eventType;
    g_seen.data = data;
    if (control == platform::kServiceControlSessionChange && data != nullptr) {
        const auto* n = static_cast<const platform::SessionNotification*>(data);
        g_seen.sessionId = n->sessionId;
        g_seen.size = n->size;
    }
    return 42;
}

TEST(Win32ServiceControlTest, SessionChangeReachesTheHandlerWithItsSessionId) {
    g_seen = SeenControl();
    WTSSESSION_NOTIFICATION native{};
    native.cbSize = sizeof(native);
    native.dwSessionId = 7;
    EXPECT_EQ(42u,
              platform::win32::forwardControl(recordControl, platform::kServiceControlSessionChange,
                                              platform::kWtsSessionLogon, &native, nullptr));
    EXPECT_EQ(platform::kServiceControlSessionChange, g_seen.control);
    EXPECT_EQ(platform::kWtsSessionLogon, g_seen.eventType);
    EXPECT_EQ(7u, g_seen.sessionId);
    EXPECT_EQ(sizeof(platform::SessionNotification), g_seen.size);

    int other = 0;
    EXPECT_EQ(42u, platform::win32::forwardControl(recordControl, 2, 0, &other, nullptr));
    EXPECT_EQ(&other, g_seen.data);
    EXPECT_EQ(platform::kErrorCallNotImplemented,
              platform::win32::forwardControl(nullptr, platform::kServiceControlStop, 0, nullptr,
                                              nullptr));
}

TEST(Win32ServiceControlTest, UnknownServiceCannotBeOpened) {
    auto& scm = platform::nativeServiceControl();
    ScmHandle manager = 0;
    ASSERT_EQ(0u, scm.openManager(platform::kScManagerConnect, manager));
    ScmHandle service = 1;
    EXPECT_EQ(platform::kErrorServiceDoesNotExist,
              scm.openService(manager, L"VornClientNoSuchService-" + win32test::uniqueSuffix(),
                              platform::kServiceQueryStatus, service));
    EXPECT_EQ(0u, service);
    scm.closeHandle(manager);
}

// The restart actions as the service manager keeps them, as "reset=<s>
// restart=<ms>,<ms>,... non-crash=<0|1>".
std::string storedFailureActions(ScmHandle service) {
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (!::QueryServiceConfig2W(reinterpret_cast<SC_HANDLE>(service),
                                SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                static_cast<DWORD>(buffer.size()), &needed)) {
        return "error " + std::to_string(::GetLastError());
    }
    const auto* info = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
    std::string text = "reset=" + std::to_string(info->dwResetPeriod) + " restart=";
    for (DWORD i = 0; i < info->cActions; ++i) {
        if (info->lpsaActions[i].Type == SC_ACTION_RESTART)
            text += (i > 0 ? "," : "") + std::to_string(info->lpsaActions[i].Delay);
    }
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    if (!::QueryServiceConfig2W(reinterpret_cast<SC_HANDLE>(service),
                                SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, reinterpret_cast<BYTE*>(&flag),
                                sizeof flag, &needed)) {
        return text + " non-crash=error " + std::to_string(::GetLastError());
    }
    return text + " non-crash=" + (flag.fFailureActionsOnNonCrashFailures ? "1" : "0");
}

// Registers a demand-start service under a name of its own, looks at it,
// gives it restart actions and deletes it again. Needs the rights of an
// administrator.
TEST(Win32ServiceControlTest, InstallQueryAndRemoveAServiceEntry) {
    auto& scm = platform::nativeServiceControl();
    ScmHandle manager = 0;
    const std::uint32_t open =
        scm.openManager(platform::kScManagerConnect | platform::kScManagerCreateService, manager);
    if (open == platform::kErrorAccessDenied)
        GTEST_SKIP() << "needs administrator rights";
    ASSERT_EQ(0u, open);
    const std::wstring name = L"VornClientSeamTest-" + win32test::uniqueSuffix();
    std::wstring path;
    ASSERT_EQ(0u, platform::nativeProcess().modulePath(512, path));

    ScmHandle created = 0;
    ASSERT_EQ(0u, scm.createService(manager, name, L"Seam test entry", path, created));
    platform::ServiceStatus status;
    EXPECT_EQ(0u, scm.queryStatus(created, status));
    EXPECT_EQ(platform::kServiceWin32OwnProcess, status.serviceType & 0xFF);
    EXPECT_EQ(platform::kServiceStopped, status.currentState);
    platform::FailureActions actions;
    actions.resetPeriodSeconds = 86400;
    actions.restartDelaysMillis = {5000, 10000, 60000};
    actions.onNonCrashFailures = true;
    EXPECT_EQ(0u, scm.setFailureActions(created, actions));
    // Wine accepts the actions but keeps none (the query fails with 124).
    if (!win32test::underCompatibilityLayer()) {
        EXPECT_EQ("reset=86400 restart=5000,10000,60000 non-crash=1",
                  storedFailureActions(created));
    }
    scm.closeHandle(created);

    ScmHandle service = 0;
    ASSERT_EQ(0u, scm.openService(
                      manager, name,
                      platform::kDelete | platform::kServiceStop | platform::kServiceQueryStatus,
                      service));
    EXPECT_EQ(platform::kErrorServiceNotActive, scm.controlStop(service, status));
    EXPECT_EQ(0u, scm.deleteService(service));
    scm.closeHandle(service);
    scm.closeHandle(manager);
}

}  // namespace
