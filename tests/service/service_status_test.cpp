// Status reports, their check points and the control handler.
#include "tests/service/service_host_fixture.h"

using platform::ServiceStatus;

namespace {

constexpr std::uint32_t kAccepted =
    platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange;

class ServiceStatusTest : public ServiceHostTest {
protected:
    ServiceStatusTest() {
        g_statusHandle = FakeServiceControl::kHandle;
        // The socket library refuses to start, so the worker ends at once.
        platform::Platform p = platform::current();
        p.sockets = &m_noSockets;
        m_noSocketsScope = std::make_unique<platform::ScopedPlatform>(p);
    }

    platform::Sockets m_noSockets;
    std::unique_ptr<platform::ScopedPlatform> m_noSocketsScope;
};

void expectReport(const ServiceStatus& r, std::uint32_t state, std::uint32_t accepted,
                  std::uint32_t checkPoint, std::uint32_t waitHint,
                  std::uint32_t serviceSpecificExitCode = 0) {
    EXPECT_EQ(state, r.currentState);
    EXPECT_EQ(accepted, r.controlsAccepted);
    EXPECT_EQ(checkPoint, r.checkPoint);
    EXPECT_EQ(waitHint, r.waitHint);
    EXPECT_EQ(serviceSpecificExitCode != 0 ? 1066u : 0u, r.win32ExitCode);
    EXPECT_EQ(serviceSpecificExitCode, r.serviceSpecificExitCode);
}

}  // namespace

TEST_F(ServiceStatusTest, ServiceMainReportsStartPendingRunningAndStopped) {
    g_statusHandle = 0;
    serviceMain();

    ASSERT_TRUE(g_userInfo != nullptr);
    ASSERT_EQ(1u, m_scm.m_registeredNames.size());
    EXPECT_EQ(L"VornClient", m_scm.m_registeredNames[0]);
    const auto reports = m_scm.reports();
    ASSERT_EQ(3u, reports.size());
    expectReport(reports[0], platform::kServiceStartPending, 0, 1, 3000);
    expectReport(reports[1], platform::kServiceRunning, kAccepted, 0, 0);
    // The socket library did not start: the relay failed.
    expectReport(reports[2], platform::kServiceStopped, kAccepted, 0, 0, 1);
    for (const auto& r : reports)
        EXPECT_EQ(platform::kServiceWin32OwnProcess, r.serviceType);
    for (auto h : m_scm.reportHandles())
        EXPECT_EQ(FakeServiceControl::kHandle, h);
    EXPECT_TRUE(m_log.contains("WSAStartup() failed."));
}

TEST_F(ServiceStatusTest, FailedRegistrationEndsServiceMainWithoutReports) {
    g_statusHandle = 0;
    m_scm.m_registerResult = 1063;
    serviceMain();
    EXPECT_TRUE(m_scm.reports().empty());
    EXPECT_FALSE(m_log.contains("SetServiceStatus"));
    EXPECT_FALSE(m_log.contains("WSAStartup"));  // the worker never ran
    EXPECT_EQ(0u, g_statusHandle);
}

TEST_F(ServiceStatusTest, RefusedStartPendingSkipsTheWorkerButStillReportsStopped) {
    g_statusHandle = 0;
    m_scm.m_refuseState = platform::kServiceStartPending;
    serviceMain();

    const auto reports = m_scm.reports();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(platform::kServiceStartPending, reports[0].currentState);
    EXPECT_EQ(platform::kServiceStopped, reports[1].currentState);
    const auto events = m_log.events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(L"SetServiceStatus call failed: 5", events.back().text);
    EXPECT_EQ(kEventTypeError, events.back().type);
    EXPECT_FALSE(m_log.contains("WSAStartup() failed."));
}

TEST_F(ServiceStatusTest, PendingReportsAdvanceTheCheckPointAndOthersCarryZero) {
    EXPECT_TRUE(reportServiceStatus(platform::kServiceStartPending, 3000));
    EXPECT_TRUE(reportServiceStatus(platform::kServiceRunning, 0));
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlStop, 0, nullptr, nullptr));
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlStop, 0, nullptr, nullptr));
    // Re-sending a pending state advances the check point once more.
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlInterrogate, 0, nullptr, nullptr));
    EXPECT_TRUE(reportServiceStatus(platform::kServiceStopped, 0));

    const auto r = m_scm.reports();
    ASSERT_EQ(6u, r.size());
    expectReport(r[0], platform::kServiceStartPending, 0, 1, 3000);
    expectReport(r[1], platform::kServiceRunning, kAccepted, 0, 0);
    expectReport(r[2], platform::kServiceStopPending, kAccepted, 2, 0);
    expectReport(r[3], platform::kServiceStopPending, kAccepted, 3, 0);
    expectReport(r[4], platform::kServiceStopPending, kAccepted, 4, 0);
    expectReport(r[5], platform::kServiceStopped, kAccepted, 0, 0);
}

TEST_F(ServiceStatusTest, InterrogateAndUnknownControlsResendTheCurrentState) {
    reportServiceStatus(platform::kServiceRunning, 0);
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlInterrogate, 0, nullptr, nullptr));
    EXPECT_EQ(120u, serviceControlHandler(2 /* pause */, 0, nullptr, nullptr));
    EXPECT_EQ(120u, serviceControlHandler(6 /* parameter change */, 0, nullptr, nullptr));

    const auto r = m_scm.reports();
    ASSERT_EQ(4u, r.size());
    for (const auto& report : r)
        expectReport(report, platform::kServiceRunning, kAccepted, 0, 0);
    EXPECT_FALSE(serverStopPending());
}

TEST_F(ServiceStatusTest, StopWithoutPublishedServerOnlyReportsStopPending) {
    reportServiceStatus(platform::kServiceRunning, 0);
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlStop, 0, nullptr, nullptr));

    const auto r = m_scm.reports();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(platform::kServiceStopPending, r[1].currentState);
    EXPECT_FALSE(m_log.contains("service stopping"));
    // Remembered for the server that is still to come.
    EXPECT_TRUE(serverStopPending());
}

TEST_F(ServiceStatusTest, SessionChangeReachesUserInformationWithItsSessionAndEvent) {
    g_userInfo = std::make_unique<UserInformation>();
    UserInfo user;
    user.domain = L"CORP";
    user.name = L"alice";
    user.sid = L"S-1-5-21-1-2-3-1001";
    g_userInfo->updateCache(7, user);
    g_userInfo->updateCache(8, user);
    reportServiceStatus(platform::kServiceRunning, 0);

    platform::SessionNotification note;
    note.sessionId = 7;
    // A lock event changes nothing; a logoff forgets exactly that session.
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlSessionChange, 7 /* lock */, &note,
                                        nullptr));
    EXPECT_EQ(2u, g_userInfo->sessions().size());
    EXPECT_EQ(0u, serviceControlHandler(platform::kServiceControlSessionChange,
                                        platform::kWtsSessionLogoff, &note, nullptr));
    const auto sessions = g_userInfo->sessions();
    EXPECT_EQ(0u, sessions.count(7));
    EXPECT_EQ(1u, sessions.count(8));

    const auto r = m_scm.reports();
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(platform::kServiceRunning, r[2].currentState);
}
