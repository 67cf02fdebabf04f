// The Linux service manager layer: notifications to NOTIFY_SOCKET, the
// dispatcher's stop control, and the systemd unit behind install/remove.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/posix/posix_service_control.h"
#include "platform/posix/run_command.h"
#include "platform/posix/systemd_unit.h"

namespace fs = std::filesystem;
using platform::PosixServiceControl;
using platform::ServiceStatus;

namespace {

// Sets an environment variable for the lifetime of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : m_name(name) {
        if (const char* old = std::getenv(name))
            m_old = old, m_had = true;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (m_had) {
            ::setenv(m_name, m_old.c_str(), 1);
        } else {
            ::unsetenv(m_name);
        }
    }

private:
    const char* m_name;
    std::string m_old;
    bool m_had = false;
};

// A datagram socket standing in for the service manager's notify socket.
class NotifyListener {
public:
    explicit NotifyListener(const std::string& address) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::memcpy(addr.sun_path, address.data(), address.size());
        socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
        if (address[0] == '@') {
            addr.sun_path[0] = '\0';
        } else {
            length += 1;
        }
        m_bound = ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), length) == 0;
        timeval limit{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    }
    ~NotifyListener() { ::close(m_fd); }
    bool bound() const { return m_bound; }
    std::string receive() {
        char buffer[512];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        return n < 0 ? std::string("(nothing)") : std::string(buffer, static_cast<std::size_t>(n));
    }

private:
    int m_fd = -1;
    bool m_bound = false;
};

ServiceStatus statusOf(std::uint32_t state) {
    ServiceStatus s;
    s.currentState = state;
    return s;
}

fs::path freshTempDir(const std::string& tag) {
    const fs::path dir =
        fs::temp_directory_path() / ("vorn-" + tag + "-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

}  // namespace

TEST(PosixServiceNotify, ReportsBecomeNotificationsOnTheNotifySocket) {
    const fs::path dir = freshTempDir("notify");
    const std::string path = (dir / "notify.sock").string();
    NotifyListener listener(path);
    ASSERT_TRUE(listener.bound());
    ScopedEnv env("NOTIFY_SOCKET", path);

    PosixServiceControl control;
    platform::StatusHandle handle = 0;
    ASSERT_EQ(0u, control.registerHandler(L"VornClient", nullptr, handle));
    ASSERT_NE(0u, handle);

    EXPECT_EQ(0u, control.setStatus(handle, statusOf(platform::kServiceRunning)));
    EXPECT_EQ("READY=1\nSTATUS=Running", listener.receive());
    EXPECT_EQ(0u, control.setStatus(handle, statusOf(platform::kServiceStopPending)));
    EXPECT_EQ("STOPPING=1\nSTATUS=Stopping", listener.receive());

    EXPECT_EQ(platform::kErrorInvalidHandle,
              control.setStatus(handle + 1, statusOf(platform::kServiceRunning)));
    fs::remove_all(dir);
}

TEST(PosixServiceNotify, TheStatusLineIsOneStatusAssignment) {
    const fs::path dir = freshTempDir("notify-status");
    const std::string path = (dir / "notify.sock").string();
    NotifyListener listener(path);
    ASSERT_TRUE(listener.bound());
    ScopedEnv env("NOTIFY_SOCKET", path);

    PosixServiceControl control;
    EXPECT_EQ(0u, control.setStatusText(L"312 connections for 14 users; gateway answering"));
    EXPECT_EQ("STATUS=312 connections for 14 users; gateway answering", listener.receive());
    // A line break would start an assignment of its own.
    EXPECT_EQ(0u, control.setStatusText(L"two\nlines\r"));
    EXPECT_EQ("STATUS=two lines ", listener.receive());
    fs::remove_all(dir);
}

TEST(PosixServiceNotify, AbstractSocketNamesAreSupported) {
    const std::string name = "@vorn-notify-test-" + std::to_string(::getpid());
    NotifyListener listener(name);
    ASSERT_TRUE(listener.bound());
    ScopedEnv env("NOTIFY_SOCKET", name);

    PosixServiceControl control;
    platform::StatusHandle handle = 0;
    control.registerHandler(L"VornClient", nullptr, handle);
    EXPECT_EQ(0u, control.setStatus(handle, statusOf(platform::kServiceStopped)));
    EXPECT_EQ("STATUS=Stopped", listener.receive());
}

TEST(PosixServiceNotify, WithoutAManagerReportsSucceedAndAMissingOneFails) {
    PosixServiceControl control;
    platform::StatusHandle handle = 0;
    control.registerHandler(L"VornClient", nullptr, handle);
    {
        ScopedEnv env("NOTIFY_SOCKET", "");
        EXPECT_EQ(0u, control.setStatus(handle, statusOf(platform::kServiceRunning)));
    }
    ScopedEnv env("NOTIFY_SOCKET", "/nonexistent-vorn-dir/notify.sock");
    EXPECT_EQ(platform::kErrorFileNotFound,
              control.setStatus(handle, statusOf(platform::kServiceRunning)));
}

namespace {

// The dispatcher test's service: the seam under test and what happened.
PosixServiceControl* g_control = nullptr;
std::atomic<bool> g_postBeforeRegistering{false};
std::thread::id g_serviceThread;
std::thread::id g_handlerThread;
std::atomic<int> g_stopControls{0};
std::atomic<int> g_stopsWhileStarting{-1};
std::mutex g_stopMutex;
std::condition_variable g_stopArrived;

std::uint32_t recordingHandler(std::uint32_t control, std::uint32_t, void*, void*) {
    if (control == platform::kServiceControlStop) {
        std::lock_guard<std::mutex> lock(g_stopMutex);
        g_handlerThread = std::this_thread::get_id();
        ++g_stopControls;
        g_stopArrived.notify_all();
    }
    return 0;
}

void testServiceMain() {
    g_serviceThread = std::this_thread::get_id();
    if (g_postBeforeRegistering)
        g_control->postStopControl();
    platform::StatusHandle handle = 0;
    g_control->registerHandler(L"VornClient", recordingHandler, handle);
    if (!g_postBeforeRegistering)
        g_control->postStopControl();
    ServiceStatus status;
    status.currentState = platform::kServiceStartPending;
    g_control->setStatus(handle, status);
    // Not delivered yet: start pending accepts no controls.
    g_stopsWhileStarting = g_stopControls.load();
    status.currentState = platform::kServiceRunning;
    status.controlsAccepted = platform::kServiceAcceptStop;
    g_control->setStatus(handle, status);
    std::unique_lock<std::mutex> lock(g_stopMutex);
    g_stopArrived.wait_for(lock, std::chrono::seconds(20), [] { return g_stopControls > 0; });
}

void runDispatcher(bool postBeforeRegistering) {
    ScopedEnv noManager("NOTIFY_SOCKET", "");
    PosixServiceControl control;
    g_control = &control;
    g_postBeforeRegistering = postBeforeRegistering;
    g_stopControls = 0;
    EXPECT_EQ(0u, control.startDispatcher(L"VornClient", testServiceMain));
    g_control = nullptr;
}

}  // namespace

TEST(PosixServiceDispatcher, StopControlRunsOnTheDispatcherThreadAndTheDispatcherReturns) {
    runDispatcher(false);
    EXPECT_EQ(1, g_stopControls.load());
    EXPECT_EQ(0, g_stopsWhileStarting.load());
    EXPECT_EQ(std::this_thread::get_id(), g_handlerThread);
    EXPECT_NE(g_serviceThread, g_handlerThread);
}

TEST(PosixServiceDispatcher, StopBeforeTheServiceAcceptsItWaitsUntilItDoes) {
    runDispatcher(true);
    EXPECT_EQ(1, g_stopControls.load());
    EXPECT_EQ(0, g_stopsWhileStarting.load());
    EXPECT_EQ(std::this_thread::get_id(), g_handlerThread);
}

namespace {

// Guarded by g_stopMutex.
int g_sessionChanges = 0;
int g_sessionChangesBeforeAccepted = -1;
platform::SessionNotification g_lastSession;
std::uint32_t g_lastSessionEvent = 0;

std::uint32_t countingHandler(std::uint32_t control, std::uint32_t eventType, void* data, void*) {
    std::lock_guard<std::mutex> lock(g_stopMutex);
    if (control == platform::kServiceControlStop) {
        ++g_stopControls;
    } else if (control == platform::kServiceControlSessionChange) {
        ++g_sessionChanges;
        g_lastSession = *static_cast<const platform::SessionNotification*>(data);
        g_lastSessionEvent = eventType;
        g_handlerThread = std::this_thread::get_id();
    }
    g_stopArrived.notify_all();
    return 0;
}

template <typename Condition>
void waitForHandler(Condition condition) {
    std::unique_lock<std::mutex> lock(g_stopMutex);
    g_stopArrived.wait_for(lock, std::chrono::seconds(20), condition);
}

// A logon waits from the start; the service accepts stop first and session
// changes only later.
void sessionServiceMain() {
    platform::StatusHandle handle = 0;
    g_control->registerHandler(L"VornClient", countingHandler, handle);
    g_control->postSessionEvent(platform::kWtsSessionLogon, 1000);
    ServiceStatus status = statusOf(platform::kServiceStartPending);
    g_control->setStatus(handle, status);
    status = statusOf(platform::kServiceRunning);
    status.controlsAccepted = platform::kServiceAcceptStop;
    g_control->setStatus(handle, status);
    // The dispatcher handles controls one pass after another; the second stop
    // comes in a pass after anything delivered together with the first.
    for (int i = 1; i <= 2; ++i) {
        g_control->postStopControl();
        waitForHandler([i] { return g_stopControls >= i; });
    }
    {
        std::lock_guard<std::mutex> lock(g_stopMutex);
        g_sessionChangesBeforeAccepted = g_sessionChanges;
    }
    status.controlsAccepted = platform::kServiceAcceptStop | platform::kServiceAcceptSessionChange;
    g_control->setStatus(handle, status);
    waitForHandler([] { return g_sessionChanges > 0; });
}

}  // namespace

TEST(PosixServiceDispatcher, SessionChangesWaitUntilTheServiceAcceptsThem) {
    ScopedEnv noManager("NOTIFY_SOCKET", "");
    ScopedEnv noInjection("VORNCLIENT_SESSION_EVENTS", "");
    PosixServiceControl control;
    g_control = &control;
    g_stopControls = 0;
    g_sessionChanges = 0;
    EXPECT_EQ(0u, control.startDispatcher(L"VornClient", sessionServiceMain));
    g_control = nullptr;

    EXPECT_EQ(0, g_sessionChangesBeforeAccepted);
    EXPECT_EQ(1, g_sessionChanges);
    EXPECT_EQ(platform::kWtsSessionLogon, g_lastSessionEvent);
    EXPECT_EQ(1000u, g_lastSession.sessionId);
    EXPECT_EQ(std::this_thread::get_id(), g_handlerThread);
}

namespace {

// systemctl as the tests script it: answers is-active with `state`.
struct FakeSystemctl {
    std::vector<std::string> commands;
    std::string state = "inactive";
    int runResult = 0;

    PosixServiceControl::CommandRunner runner() {
        return [this](const std::vector<std::string>& argv, std::string& output) {
            std::string joined;
            for (const auto& a : argv)
                joined += (joined.empty() ? "" : " ") + a;
            commands.push_back(joined);
            output = argv.size() > 1 && argv[1] == "is-active" ? state + "\n" : "";
            return runResult;
        };
    }
};

std::string readAll(const fs::path& p) {
    std::ifstream in(p);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class PosixServiceUnitTest : public ::testing::Test {
protected:
    PosixServiceUnitTest()
        : m_dir(freshTempDir("units")), m_env("VORNCLIENT_SYSTEMD_DIR", m_dir.string()) {
        m_control.setCommandRunner(m_systemctl.runner());
    }
    ~PosixServiceUnitTest() override { fs::remove_all(m_dir); }

    platform::ScmHandle openManager() {
        platform::ScmHandle manager = 0;
        EXPECT_EQ(0u,
                  m_control.openManager(
                      platform::kScManagerConnect | platform::kScManagerCreateService, manager));
        return manager;
    }

    fs::path m_dir;
    ScopedEnv m_env;
    FakeSystemctl m_systemctl;
    PosixServiceControl m_control;
};

}  // namespace

TEST_F(PosixServiceUnitTest, InstallWritesANotifyUnitRunningTheProgramWithoutArguments) {
    const platform::ScmHandle manager = openManager();
    platform::ScmHandle service = 0;
    ASSERT_EQ(0u, m_control.createService(manager, L"VornClient", L"Tarnwicket Vorn Client",
                                          L"/opt/vorn/bin/vornclient", service));
    // The sandbox settings are checked where they matter: by running the
    // relay under them (identity_unit.sh) and by systemd-analyze.
    const std::string unit = readAll(m_dir / "VornClient.service");
    EXPECT_EQ(0u, unit.find("[Unit]\nDescription=Tarnwicket Vorn Client\n")) << unit;
    for (const char* line : {"\nAfter=network.target systemd-logind.service\n",
                             "\n[Service]\nType=notify\nExecStart=/opt/vorn/bin/vornclient\n",
                             "\nRestart=on-failure\n", "\nDynamicUser=yes\n"}) {
        EXPECT_NE(std::string::npos, unit.find(line)) << line;
    }
    EXPECT_EQ(unit.find("ExecStart="), unit.rfind("ExecStart=")) << "one program";
    const std::string tail = "\n[Install]\nWantedBy=multi-user.target\n";
    EXPECT_EQ(unit.size() - tail.size(), unit.rfind(tail));
    // A folder of its own is unknown to systemd: nothing to reload.
    EXPECT_TRUE(m_systemctl.commands.empty());

    platform::ScmHandle again = 0;
    EXPECT_EQ(platform::kErrorAlreadyExists,
              m_control.createService(manager, L"VornClient", L"Tarnwicket Vorn Client",
                                      L"/opt/vorn/bin/vornclient", again));
    m_control.closeHandle(service);
    m_control.closeHandle(manager);
}

TEST_F(PosixServiceUnitTest, MissingFolderOrUnitMapsToFileErrors) {
    {
        ScopedEnv missing("VORNCLIENT_SYSTEMD_DIR", (m_dir / "missing").string());
        platform::ScmHandle manager = 0;
        EXPECT_EQ(platform::kErrorFileNotFound,
                  m_control.openManager(platform::kScManagerConnect, manager));
    }
    const platform::ScmHandle manager = openManager();
    platform::ScmHandle service = 0;
    EXPECT_EQ(platform::kErrorFileNotFound,
              m_control.openService(manager, L"VornClient", platform::kDelete, service));
    EXPECT_EQ(platform::kErrorInvalidHandle, m_control.deleteService(manager));
}

TEST_F(PosixServiceUnitTest, RemoveStopsAnActiveUnitWithoutWaitingAndDeletesIt) {
    const platform::ScmHandle manager = openManager();
    platform::ScmHandle created = 0;
    ASSERT_EQ(0u, m_control.createService(manager, L"VornClient", L"Tarnwicket Vorn Client",
                                          L"/usr/bin/vornclient", created));
    platform::ScmHandle service = 0;
    ASSERT_EQ(0u, m_control.openService(manager, L"VornClient", platform::kDelete, service));

    ServiceStatus status;
    m_systemctl.state = "inactive";
    EXPECT_EQ(platform::kErrorServiceNotActive, m_control.controlStop(service, status));

    m_systemctl.state = "active";
    m_systemctl.commands.clear();
    EXPECT_EQ(0u, m_control.controlStop(service, status));
    EXPECT_EQ(platform::kServiceStopPending, status.currentState);
    ASSERT_EQ(3u, m_systemctl.commands.size());
    EXPECT_EQ("systemctl stop --no-block VornClient.service", m_systemctl.commands[1]);

    const std::pair<const char*, std::uint32_t> states[] = {
        {"deactivating", platform::kServiceStopPending}, {"inactive", platform::kServiceStopped},
        {"failed", platform::kServiceStopped},           {"active", platform::kServiceRunning},
        {"activating", platform::kServiceStartPending},
    };
    for (const auto& s : states) {
        m_systemctl.state = s.first;
        EXPECT_EQ(0u, m_control.queryStatus(service, status));
        EXPECT_EQ(s.second, status.currentState) << s.first;
    }

    EXPECT_EQ(0u, m_control.deleteService(service));
    EXPECT_FALSE(fs::exists(m_dir / "VornClient.service"));
    EXPECT_EQ(platform::kErrorFileNotFound, m_control.deleteService(service));
}

TEST_F(PosixServiceUnitTest, WithoutSystemctlNothingCountsAsRunning) {
    m_systemctl.runResult = -1;
    const platform::ScmHandle manager = openManager();
    platform::ScmHandle service = 0;
    ASSERT_EQ(0u, m_control.createService(manager, L"VornClient", L"Tarnwicket Vorn Client",
                                          L"/usr/bin/vornclient", service));
    ServiceStatus status;
    EXPECT_EQ(platform::kErrorServiceNotActive, m_control.controlStop(service, status));
    EXPECT_EQ(0u, m_control.queryStatus(service, status));
    EXPECT_EQ(platform::kServiceStopped, status.currentState);
}

TEST(SystemdUnit, ExecStartQuotesAndEscapesOnlyWhenNeeded) {
    EXPECT_EQ("/usr/bin/vornclient", platform::execStartValue("/usr/bin/vornclient"));
    EXPECT_EQ("\"/opt/my apps/vornclient\"", platform::execStartValue("/opt/my apps/vornclient"));
    EXPECT_EQ("/opt/100%%/vornclient", platform::execStartValue("/opt/100%/vornclient"));
    EXPECT_EQ("\"/opt/a\\\"b\\\\c\"", platform::execStartValue("/opt/a\"b\\c"));
}

TEST(RunCommand, CollectsOutputAndExitStatus) {
    std::string output;
    EXPECT_EQ(3, platform::runCommand({"sh", "-c", "echo hello; echo noise >&2; exit 3"}, output));
    EXPECT_EQ("hello\n", output);
    EXPECT_EQ(-1, platform::runCommand({"vorn-no-such-program-anywhere"}, output));
}
