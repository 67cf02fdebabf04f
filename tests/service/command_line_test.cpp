// Process entry: argument matching, the usage text, the debug mode and its
// console handler.
#include <string>
#include <vector>

#include "tests/service/service_host_fixture.h"

namespace {

const char* const kUsage =
    "VornClient -install          to install the service\n"
    "VornClient -remove           to remove the service\n"
    "VornClient -debug <params>   to run as a console app for debugging\n"
    "\nStartServiceCtrlDispatcher being called.\n"
    "This may take several seconds.  Please wait.\n";

class EntryTest : public ServiceHostTest {
protected:
    EntryTest() {
        platform::Platform p = platform::current();
        p.sockets = &m_noSockets;  // a debug run ends at once
        m_noSocketsScope = std::make_unique<platform::ScopedPlatform>(p);
    }

    bool installerRan() const {
        const auto calls = m_scm.calls();
        return !calls.empty() && calls[0] == "openManager access=3";
    }

    platform::Sockets m_noSockets;
    std::unique_ptr<platform::ScopedPlatform> m_noSocketsScope;
};

}  // namespace

TEST_F(EntryTest, InstallIsMatchedWithEitherPrefixInAnyCase) {
    for (const char* arg : {"-install", "/INSTALL", "-Install"}) {
        FakeServiceControl scm;
        platform::Platform p = platform::current();
        p.serviceControl = &scm;
        platform::ScopedPlatform scope(p);

        EXPECT_EQ(0, runEntry({arg, "ignored", "extra"}));
        ASSERT_FALSE(scm.calls().empty()) << arg;
        EXPECT_EQ("openManager access=3", scm.calls()[0]) << arg;
        EXPECT_EQ(0, scm.m_dispatcherCalls) << arg;
        EXPECT_EQ("Tarnwicket Vorn Client installed.\n", console()) << arg;
    }
}

TEST_F(EntryTest, AnythingElsePrintsTheUsageAndStartsTheDispatcher) {
    std::vector<std::vector<std::string>> cases = {{}};  // no argument at all
    for (const char* first :
         {"--install", "install", "-installx", "-", "/", "", "-debugx", "x-remove", "version",
          "-versions", "---version", "/-version", "--versionx", "--status", "-statusx", "status"})
        cases.push_back({first});
    for (const auto& args : cases) {
        FakeServiceControl scm;
        platform::Platform p = platform::current();
        p.serviceControl = &scm;
        platform::ScopedPlatform scope(p);

        const std::string shown = args.empty() ? "(none)" : args[0];
        runEntry(args);
        EXPECT_EQ(kUsage, console()) << shown;
        EXPECT_EQ(1, scm.m_dispatcherCalls) << shown;
        EXPECT_TRUE(scm.calls().empty()) << shown;
        EXPECT_FALSE(debugMode()) << shown;
    }
}

TEST_F(EntryTest, VersionPrintsTheProjectVersionAndNothingElse) {
    const std::string expected = std::string("VornClient ") + VORN_VERSION + "\n";
    for (const char* arg : {"-version", "--version", "/version", "-VERSION", "--Version"}) {
        FakeServiceControl scm;
        platform::Platform p = platform::current();
        p.serviceControl = &scm;
        platform::ScopedPlatform scope(p);

        EXPECT_EQ(0, runEntry({arg, "extra"}));
        EXPECT_EQ(expected, console()) << arg;
        EXPECT_EQ(0, scm.m_dispatcherCalls) << arg;
        EXPECT_TRUE(scm.calls().empty()) << arg;
        EXPECT_TRUE(m_log.events().empty()) << arg;
    }
}

TEST_F(EntryTest, RemoveIsMatched) {
    m_scm.m_controlStopResult = platform::kErrorServiceNotActive;
    EXPECT_EQ(0, runEntry({"/Remove"}));
    EXPECT_EQ(0, m_scm.m_dispatcherCalls);
    EXPECT_EQ("Tarnwicket Vorn Client removed.\n", console());
}

// The installer's values may be any text: they come from the wide command
// line, not from the narrow arguments.
TEST_F(EntryTest, ConfigureTakesItsValuesFromTheWideCommandLine) {
    m_process.m_args = {L"vornclient", L"/Configure", L"OrganizationName=Org \u00e9"};
    EXPECT_EQ(0, runEntry({"/Configure", "OrganizationName=Org ?"}));
    EXPECT_EQ("Tarnwicket Vorn Client configured.\n", console());
    EXPECT_EQ("sz:Org <e9>", m_registry.describeValue(L"OrganizationName"));
    EXPECT_EQ(0, m_scm.m_dispatcherCalls);

    m_process.m_args = {L"vornclient", L"-configure", L"ListenPort=x"};
    EXPECT_EQ(1, runEntry({"-configure"}));
}

TEST_F(EntryTest, FailingDispatcherIsLogged) {
    m_scm.m_dispatcherResult = platform::kErrorFailedServiceControllerConnect;
    EXPECT_EQ(1, runEntry({}));
    const auto events = m_log.events();
    ASSERT_EQ(1u, events.size());
    EXPECT_EQ(L"StartServiceCtrlDispatcher failed.", events[0].text);
    EXPECT_EQ(kEventTypeError, events[0].type);
}

TEST_F(EntryTest, DebugModeRunsTheWorkerSilentlyWithTheConsoleHandler) {
    EXPECT_EQ(1, runEntry({"-DEBUG", "extra", "args"}));  // the relay could not start

    EXPECT_TRUE(debugMode());
    EXPECT_EQ("Debugging Tarnwicket Vorn Client.\n", console());
    // The worker ran ("WSAStartup() failed."), but debug mode keeps the
    // event log and the service manager out of it.
    EXPECT_TRUE(m_log.events().empty());
    EXPECT_TRUE(m_scm.reports().empty());
    EXPECT_EQ(0, m_scm.m_dispatcherCalls);

    // The handler it added stops the relay.
    ASSERT_EQ(1u, m_process.handlers().size());
    EXPECT_TRUE(m_process.handlers()[0](platform::kCtrlCEvent));
    EXPECT_EQ("Stopping Tarnwicket Vorn Client.\n", console());
}

TEST_F(EntryTest, DebugModeStopsWhenTheCommandLineCannotBeSplit) {
    m_process.m_failArgs = true;
    EXPECT_FALSE(m_host.CmdDebugService());
    EXPECT_EQ("CmdDebugService CommandLineToArgvW returned NULL\n", console());
    EXPECT_TRUE(m_process.handlers().empty());
    EXPECT_TRUE(debugMode());
}

// A mode that failed ends the process with 1, so that scripts and the
// service manager can tell; its console output stays as it is.
TEST_F(EntryTest, ExitCodeIsOneExactlyWhenTheModeFailed) {
    enum Setup { None, CreateFails, DeleteFails, StaysRunning, NoArguments, NoDispatcher };
    const struct {
        std::vector<std::string> args;
        Setup setup;
        int exitCode;
    } cases[] = {
        {{"-install"}, None, 0},
        {{"-install"}, CreateFails, 1},
        {{"-remove"}, None, 0},
        {{"-remove"}, DeleteFails, 1},
        {{"-remove"}, StaysRunning, 1},
        {{"-debug"}, None, 1},  // no socket library: the relay cannot start
        {{"-debug"}, NoArguments, 1},
        {{}, None, 1},  // the service runs, but its relay cannot start
        {{}, NoDispatcher, 1},
    };
    for (const auto& c : cases) {
        const std::string shown = (c.args.empty() ? "(none)" : c.args[0]) + " " +
                                  std::to_string(static_cast<int>(c.setup));
        setDebugMode(false);
        ServiceHost host;
        FakeServiceControl scm;
        scm.m_runServiceMain = true;
        scm.m_controlStopResult = platform::kErrorServiceNotActive;
        FakeProcess process;
        if (c.setup == CreateFails)
            scm.m_createResult = platform::kErrorServiceExists;
        if (c.setup == DeleteFails)
            scm.m_deleteResult = platform::kErrorAccessDenied;
        if (c.setup == StaysRunning) {
            scm.m_controlStopResult = 0;
            scm.m_queryStates = {platform::kServiceRunning};
        }
        process.m_failArgs = c.setup == NoArguments;
        if (c.setup == NoDispatcher)
            scm.m_dispatcherResult = platform::kErrorFailedServiceControllerConnect;
        platform::Platform p = platform::current();
        p.serviceControl = &scm;
        p.process = &process;
        platform::ScopedPlatform scope(p);
        EXPECT_EQ(c.exitCode, runEntry(host, c.args)) << shown;
    }
}

TEST_F(EntryTest, ConsoleHandlerStopsOnCtrlCAndBreakOnly) {
    for (std::uint32_t other : {2u /* close */, 5u /* logoff */, 6u /* shutdown */}) {
        EXPECT_FALSE(m_host.consoleCtrlHandler(other));
        EXPECT_EQ("", console());
    }
    EXPECT_TRUE(m_host.consoleCtrlHandler(platform::kCtrlCEvent));
    EXPECT_EQ("Stopping Tarnwicket Vorn Client.\n", console());
    EXPECT_TRUE(m_host.consoleCtrlHandler(platform::kCtrlBreakEvent));
    EXPECT_EQ("Stopping Tarnwicket Vorn Client.\n", console());
}
