// The service main routine, its status reports with their check points, and
// the control handler.
#include "service/service_status.h"
#include "tests/fakes/fake_identity.h"
#include "tests/service/service_host_fixture.h"

using platform::ServiceStatus;

namespace {

constexpr std::uint32_t kAccepted =
    platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange;

class ServiceStatusTest : public ServiceHostTest {
protected:
    ServiceStatusTest() {
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
    m_host.serviceMain();

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
    m_scm.m_registerResult = 1063;
    m_host.serviceMain();
    EXPECT_TRUE(m_scm.reports().empty());
    EXPECT_FALSE(m_log.contains("SetServiceStatus"));
    EXPECT_FALSE(m_log.contains("WSAStartup"));  // the worker never ran
}

TEST_F(ServiceStatusTest, RefusedStartPendingSkipsTheWorkerButStillReportsStopped) {
    m_scm.m_refuseState = platform::kServiceStartPending;
    m_host.serviceMain();

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
    ServiceStatusReporter status;
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceRunning, 0));  // no handle yet
    status.attach(FakeServiceControl::kHandle);
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceStartPending, 3000));
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceRunning, 0));
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceStopPending, 0));
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceStopPending, 0));
    // Re-sending a pending state advances the check point once more.
    status.reportCurrentServiceStatus();
    EXPECT_TRUE(status.reportServiceStatus(platform::kServiceStopped, 0));

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
    m_host.serviceMain();
    EXPECT_EQ(0u, m_scm.sendControl(platform::kServiceControlInterrogate));
    EXPECT_EQ(120u, m_scm.sendControl(2 /* pause */));
    EXPECT_EQ(120u, m_scm.sendControl(6 /* parameter change */));

    const auto r = m_scm.reports();
    ASSERT_EQ(6u, r.size());
    for (std::size_t i = 2; i < r.size(); ++i)
        expectReport(r[i], platform::kServiceStopped, kAccepted, 0, 0, 1);
}

TEST_F(ServiceStatusTest, SessionChangesReachUserInformationWithTheirSession) {
    FakeIdentity identity;
    platform::Platform p = platform::current();
    p.identity = &identity;
    platform::ScopedPlatform scope(p);
    m_host.serviceMain();

    platform::SessionNotification note;
    note.sessionId = 7;
    // A lock event reads nothing; a logon reads the session's user afresh.
    EXPECT_EQ(0u, m_scm.sendControl(platform::kServiceControlSessionChange, 7 /* lock */, &note));
    EXPECT_TRUE(identity.queriedSessions().empty());
    EXPECT_EQ(0u, m_scm.sendControl(platform::kServiceControlSessionChange,
                                    platform::kWtsSessionLogon, &note));
    EXPECT_EQ(std::vector<std::uint32_t>{7}, identity.queriedSessions());

    const auto r = m_scm.reports();
    ASSERT_EQ(5u, r.size());
    EXPECT_EQ(platform::kServiceStopped, r[3].currentState);
    EXPECT_EQ(platform::kServiceStopped, r[4].currentState);
}
