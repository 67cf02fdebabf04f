// Installing and removing the service, its restart actions and its event
// source, with every failing step.
#include <deque>
#include <map>

#include "service/installer.h"
#include "tests/service/service_host_fixture.h"

namespace {

constexpr std::uint32_t kAccessDenied = platform::kErrorAccessDenied;

class InstallerTest : public ServiceHostTest {
protected:
    InstallerTest() {
        m_process.m_messages[kAccessDenied] = L"Access is denied.\r\n";
        m_process.m_messages[platform::kErrorInsufficientBuffer] =
            L"The data area passed to a system call is too small.\r\n";
        m_process.m_messages[platform::kErrorServiceExists] =
            L"The specified service already exists.\r\n";
    }

    std::string run(bool (*mode)(), bool* succeeded = nullptr) {
        const bool ok = mode();
        if (succeeded != nullptr)
            *succeeded = ok;
        return console();
    }

    static constexpr const char* kRestartActions =
        "setFailureActions 101 reset=86400 restart=5000,10000,60000 non-crash=1";
    const std::wstring kProgram = L"C:\\Program Files\\Tarnwicket\\vornclient.exe";
};

}  // namespace

TEST_F(InstallerTest, InstallCreatesTheServiceWithRestartActionsAndTheEventSource) {
    bool ok = false;
    EXPECT_EQ("Tarnwicket Vorn Client installed.\n", run(installService, &ok));
    EXPECT_TRUE(ok);
    const auto calls = m_scm.calls();
    ASSERT_EQ(5u, calls.size());
    EXPECT_EQ("openManager access=3", calls[0]);
    EXPECT_EQ(
        "createService VornClient|Tarnwicket Vorn Client|C:\\Program "
        "Files\\Tarnwicket\\vornclient.exe",
        calls[1]);
    EXPECT_EQ(kRestartActions, calls[2]);
    EXPECT_EQ(0u, m_scm.openHandles());
    EXPECT_EQ((std::map<std::wstring, std::wstring>{{L"VornClient", kProgram}}), m_log.sources());
}

TEST_F(InstallerTest, InstallReportsRestartActionsOrAnEventSourceThatCannotBeSet) {
    struct Case {
        std::uint32_t actionsError;
        std::uint32_t sourceError;
        const char* failureLine;
    };
    const Case cases[] = {
        {kAccessDenied, 0, "ChangeServiceConfig2 failed - Access is denied. (0x5)\n"},
        {0, kAccessDenied,
         "Unable to register event source VornClient - Access is denied. (0x5)\n"},
    };
    for (const Case& c : cases) {
        m_scm.m_failureActionsResult = c.actionsError;
        m_log.m_registerSourceError = c.sourceError;
        bool ok = true;
        EXPECT_EQ(std::string("Tarnwicket Vorn Client installed.\n") + c.failureLine,
                  run(installService, &ok));
        EXPECT_FALSE(ok);
        EXPECT_EQ(0u, m_scm.openHandles());
    }
}

TEST_F(InstallerTest, RestartActionsGoToTheInstalledService) {
    bool ok = false;
    EXPECT_EQ("", run(setServiceRestartActions, &ok));
    EXPECT_TRUE(ok);
    EXPECT_EQ((std::vector<std::string>{"openManager access=1",
                                        "openService VornClient access=18",  // change, start
                                        kRestartActions, "close 101", "close 100"}),
              m_scm.calls());

    m_scm.m_openServiceResult = kAccessDenied;
    EXPECT_EQ("OpenService failed - Access is denied. (0x5)\n", run(setServiceRestartActions, &ok));
    EXPECT_FALSE(ok);
}

TEST_F(InstallerTest, InstallReportsAProgramPathThatDoesNotFit) {
    m_process.m_modulePath = std::wstring(600, L'p');
    EXPECT_EQ(
        "Unable to install Tarnwicket Vorn Client - The data area passed to a system call is too "
        "small. (0x7a)\n",
        run(installService));
    EXPECT_TRUE(m_scm.calls().empty());
}

TEST_F(InstallerTest, InstallReportsAManagerThatCannotBeOpened) {
    m_scm.m_openManagerResult = kAccessDenied;
    EXPECT_EQ("OpenSCManager failed - Access is denied. (0x5)\n", run(installService));
    EXPECT_EQ(1u, m_scm.calls().size());
}

TEST_F(InstallerTest, InstallReportsAFailedCreationAndClosesTheManager) {
    m_scm.m_createResult = platform::kErrorServiceExists;
    EXPECT_EQ("CreateService failed - The specified service already exists. (0x431)\n",
              run(installService));
    EXPECT_EQ(0u, m_scm.openHandles());
    EXPECT_TRUE(m_log.sources().empty());
}

TEST_F(InstallerTest, AnOverlongSystemTextLeavesTheFailureLineEmpty) {
    m_process.m_messages[kAccessDenied] = std::wstring(241, L'y') + L"\r\n";
    m_scm.m_openManagerResult = kAccessDenied;
    EXPECT_EQ("OpenSCManager failed - \n", run(installService));
}

TEST_F(InstallerTest, RemovingAStoppedServiceDeletesItWithoutTheStoppingLine) {
    m_scm.m_controlStopResult = platform::kErrorServiceNotActive;
    m_log.addSource(L"VornClient", kProgram);
    EXPECT_EQ("Tarnwicket Vorn Client removed.\n", run(removeService));
    EXPECT_TRUE(m_log.sources().empty());
    const auto calls = m_scm.calls();
    ASSERT_GE(calls.size(), 4u);
    EXPECT_EQ("openManager access=1", calls[0]);
    EXPECT_EQ("openService VornClient access=65572", calls[1]);  // delete, stop, query
    EXPECT_EQ("controlStop", calls[2]);
    EXPECT_EQ("deleteService", calls[3]);
    EXPECT_EQ(0u, m_scm.openHandles());
    EXPECT_TRUE(m_process.sleeps().empty());
}

TEST_F(InstallerTest, RemovingARunningServicePrintsOneDotPerSecondUntilItStops) {
    m_scm.m_queryStates = {platform::kServiceStopPending, platform::kServiceStopPending,
                           platform::kServiceStopPending, platform::kServiceStopped};
    EXPECT_EQ(
        "Stopping Tarnwicket Vorn Client....\n"
        "Tarnwicket Vorn Client stopped.\n"
        "Tarnwicket Vorn Client removed.\n",
        run(removeService));
    EXPECT_EQ(std::vector<std::uint32_t>(4, 1000), m_process.sleeps());
}

TEST_F(InstallerTest, RemovalGoesOnWhenTheServiceFailsToStop) {
    // Still stop pending when the query starts failing.
    m_scm.m_queryStates = {platform::kServiceStopPending};
    EXPECT_EQ(
        "Stopping Tarnwicket Vorn Client..\n"
        "Tarnwicket Vorn Client failed to stop.\n"
        "Tarnwicket Vorn Client removed.\n",
        run(removeService));

    m_scm.m_queryStates = {platform::kServiceRunning};
    EXPECT_EQ(
        "Stopping Tarnwicket Vorn Client.\n"
        "Tarnwicket Vorn Client failed to stop.\n"
        "Tarnwicket Vorn Client removed.\n",
        run(removeService));
}

TEST_F(InstallerTest, RemoveReportsEachFailingStep) {
    m_scm.m_openManagerResult = kAccessDenied;
    EXPECT_EQ("OpenSCManager failed - Access is denied. (0x5)\n", run(removeService));

    m_log.addSource(L"VornClient", kProgram);
    m_scm.m_openManagerResult = 0;
    m_scm.m_openServiceResult = kAccessDenied;
    EXPECT_EQ("OpenService failed - Access is denied. (0x5)\n", run(removeService));
    EXPECT_EQ(0u, m_scm.openHandles());

    m_scm.m_openServiceResult = 0;
    m_scm.m_controlStopResult = platform::kErrorServiceNotActive;
    m_scm.m_deleteResult = kAccessDenied;
    EXPECT_EQ("DeleteService failed - Access is denied. (0x5)\n", run(removeService));
    EXPECT_EQ(0u, m_scm.openHandles());
    EXPECT_EQ(1u, m_log.sources().size()) << "the source stays with a service that stays";

    m_scm.m_deleteResult = 0;
    m_log.m_removeSourceError = kAccessDenied;
    bool ok = true;
    EXPECT_EQ(
        "Tarnwicket Vorn Client removed.\n"
        "Unable to remove event source VornClient - Access is denied. (0x5)\n",
        run(removeService, &ok));
    EXPECT_FALSE(ok);
}
