// The worker: one run of the relay, its failures, and stop requests that
// reach it before or after the server is published.
#include <future>

#include "proxy/socks_proxy_server.h"
#include "service/status_command.h"
#include "tests/service/service_host_fixture.h"

namespace {

// A port on 127.0.0.1 that was free a moment ago.
std::uint32_t freeLoopbackPort() {
    platform::Sockets& s = platform::nativeSockets();
    platform::Socket sock = platform::kInvalidSocket;
    if (s.createTcp(sock) != 0)
        return 0;
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    platform::SockAddr bound;
    std::uint32_t port = 0;
    if (s.bind(sock, addr) == 0 && s.getSockName(sock, bound) == 0) {
        port = platform::netToHost16(bound.port);
    }
    s.close(sock);
    return port;
}

class WorkerTest : public ServiceHostTest {
protected:
    WorkerTest() {
        const std::uint32_t port = freeLoopbackPort();
        EXPECT_NE(0u, port);
        m_registry.setDword(L"ListenPort", port);
    }

    // A stop request as Ctrl+C makes it.
    void requestStop(ServiceHost& host) {
        EXPECT_TRUE(host.consoleCtrlHandler(platform::kCtrlCEvent));
        console();
    }
};

}  // namespace

TEST_F(WorkerTest, BadGatewayPortTextIsLoggedAsTheWorkersExceptionAndTheServiceStops) {
    m_registry.setString(L"TarnwicketPort", L"no digits");
    m_host.serviceMain();

    EXPECT_EQ(1u, m_log.count("ServiceStart()"));
    EXPECT_TRUE(m_log.contains(
        "ServiceStart(), exception, invalid stoi argument, class std::invalid_argument"));
    EXPECT_FALSE(m_log.contains("service starting"));

    const auto reports = m_scm.reports();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(platform::kServiceRunning, reports[1].currentState);
    EXPECT_EQ(platform::kServiceStopped, reports[2].currentState);
}

// Every way the relay can end, as the service manager and the process exit
// code tell it: only an end on a stop request is no failure.
TEST_F(WorkerTest, StoppedReportAndExitCodeTellAFailedRelayFromAStoppedOne) {
    platform::Sockets& native = platform::nativeSockets();
    platform::Socket taken = platform::kInvalidSocket;
    ASSERT_EQ(0, native.createTcp(taken));
    platform::SockAddr addr;
    addr.family = platform::kAfInet;
    addr.addr = platform::loopbackAddr();
    platform::SockAddr bound;
    ASSERT_EQ(0, native.bind(taken, addr));
    ASSERT_EQ(0, native.listen(taken, 1));
    ASSERT_EQ(0, native.getSockName(taken, bound));
    const std::uint32_t takenPort = platform::netToHost16(bound.port);
    const std::uint32_t freePort = freeLoopbackPort();
    platform::Sockets noSockets;

    enum End { BadPortText, PortInUse, NoSocketLibrary, StopRequest };
    for (End end : {BadPortText, PortInUse, NoSocketLibrary, StopRequest}) {
        SCOPED_TRACE(end);
        ServiceHost host;
        m_registry.setString(L"TarnwicketPort", end == BadPortText ? L"abc" : L"1080");
        m_registry.setDword(L"ListenPort", end == PortInUse ? takenPort : freePort);
        platform::Platform p = platform::current();
        if (end == NoSocketLibrary)
            p.sockets = &noSockets;
        platform::ScopedPlatform scope(p);
        if (end == StopRequest)
            requestStop(host);  // honoured as soon as the relay runs
        m_scm.m_runServiceMain = true;

        const bool failed = end != StopRequest;
        EXPECT_EQ(failed ? 1 : 0, host.startDispatcher());
        const platform::ServiceStatus stopped = m_scm.reports().back();
        EXPECT_EQ(platform::kServiceStopped, stopped.currentState);
        EXPECT_EQ(failed ? 1066u : 0u, stopped.win32ExitCode);
        EXPECT_EQ(failed ? 1u : 0u, stopped.serviceSpecificExitCode);

        // The console mode's worker tells the same.
        ServiceHost consoleHost;
        if (end == StopRequest)
            requestStop(consoleHost);
        EXPECT_EQ(!failed, consoleHost.ServiceStart());
    }
    native.close(taken);
}

TEST_F(WorkerTest, SocketLibraryFailureSkipsTheServer) {
    platform::Sockets noSockets;
    platform::Platform p = platform::current();
    p.sockets = &noSockets;
    platform::ScopedPlatform scope(p);

    EXPECT_FALSE(m_host.ServiceStart());
    EXPECT_TRUE(m_log.contains("WSAStartup() failed."));
    EXPECT_TRUE(m_registry.m_openedPaths.empty());  // no server was constructed
    // Debug mode (no status handle): nothing is reported.
    EXPECT_TRUE(m_scm.reports().empty());
}

TEST_F(WorkerTest, StopRequestBeforePublicationIsHonouredOnceTheServerRuns) {
    requestStop(m_host);
    EXPECT_FALSE(m_log.contains("service stopping"));

    EXPECT_TRUE(m_host.ServiceStart());  // returns only because the early request was kept

    EXPECT_TRUE(m_log.contains("service stopping"));
    EXPECT_TRUE(m_log.contains("service starting"));
}

TEST_F(WorkerTest, StopRequestEndsARunningRelayAndUnpublishesIt) {
    auto service = std::async(std::launch::async, [this] { m_host.serviceMain(); });
    ASSERT_TRUE(m_log.waitFor("service starting"));
    EXPECT_FALSE(m_log.contains("service stopping"));

    EXPECT_EQ(0u, m_scm.sendControl(platform::kServiceControlStop));
    ASSERT_EQ(std::future_status::ready, service.wait_for(std::chrono::seconds(20)));
    service.get();

    EXPECT_EQ(1u, m_log.count("service stopping"));
    const auto reports = m_scm.reports();
    ASSERT_EQ(4u, reports.size());
    EXPECT_EQ(platform::kServiceRunning, reports[1].currentState);
    EXPECT_EQ(platform::kServiceStopPending, reports[2].currentState);
    EXPECT_EQ(platform::kServiceStopped, reports[3].currentState);
    EXPECT_EQ(0u, reports[3].serviceSpecificExitCode);

    // A stop after the relay has ended finds nothing to stop.
    m_log.clear();
    requestStop(m_host);
    EXPECT_FALSE(m_log.contains("service stopping"));
}

TEST_F(WorkerTest, ConsoleBreakStopsARunningRelay) {
    auto worker = std::async(std::launch::async, [this] { m_host.ServiceStart(); });
    ASSERT_TRUE(m_log.waitFor("service starting"));

    EXPECT_TRUE(m_host.consoleCtrlHandler(platform::kCtrlBreakEvent));
    ASSERT_EQ(std::future_status::ready, worker.wait_for(std::chrono::seconds(20)));
    worker.get();
    EXPECT_EQ("Stopping Tarnwicket Vorn Client.\n", console());
    EXPECT_TRUE(m_log.contains("service stopping"));
    EXPECT_TRUE(m_scm.reports().empty());
}

// The running relay renews its state in the data folder, which the status
// command reads, and tells the service manager a summary; the file goes
// when the relay stops.
TEST_F(WorkerTest, ARunningRelayPublishesItsStateUntilItStops) {
    ServiceHost host(std::chrono::milliseconds(10));
    auto service = std::async(std::launch::async, [&host] { host.serviceMain(); });
    // The summary goes out after the file is written.
    ASSERT_TRUE(m_scm.waitForStatusTexts(1));
    EXPECT_EQ(L"0 connections for 0 users; gateway not tried yet", m_scm.statusTexts()[0]);
    EXPECT_EQ(kStatusRunning, showRelayStatus());
    const std::string printed = console();
    EXPECT_EQ(0u, printed.rfind("Tarnwicket Vorn Client is running.\n", 0)) << printed;

    EXPECT_EQ(0u, m_scm.sendControl(platform::kServiceControlStop));
    ASSERT_EQ(std::future_status::ready, service.wait_for(std::chrono::seconds(20)));
    service.get();
    EXPECT_FALSE(m_files.exists("status.txt"));
    EXPECT_EQ(kStatusNotRunning, showRelayStatus());
}

TEST_F(WorkerTest, TheConsoleModeWritesTheStateWithoutTellingTheServiceManager) {
    ServiceHost host(std::chrono::milliseconds(10));
    std::mutex mutex;
    std::condition_variable written;
    int writes = 0;
    m_files.m_replaceHook = [&] {
        std::lock_guard<std::mutex> lock(mutex);
        ++writes;
        written.notify_all();
    };
    auto worker = std::async(std::launch::async, [&host] { return host.CmdDebugService(); });
    {
        // The second write begins after the first has ended.
        std::unique_lock<std::mutex> lock(mutex);
        EXPECT_TRUE(written.wait_for(lock, std::chrono::seconds(20), [&] { return writes >= 2; }));
    }
    requestStop(host);
    ASSERT_EQ(std::future_status::ready, worker.wait_for(std::chrono::seconds(20)));
    worker.get();
    EXPECT_TRUE(m_scm.statusTexts().empty());
    EXPECT_FALSE(m_files.exists("status.txt"));
}
