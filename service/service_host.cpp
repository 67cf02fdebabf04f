#include "service/service_host.h"

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "proxy/status_publisher.h"
#include "service/console.h"
#include "support/data_folder.h"
#include "support/logging.h"
#include "support/service_names.h"
#include "userinfo/user_information.h"

namespace {

constexpr std::uint32_t kStartPendingWaitHint = 3000;
// The service-specific exit code of a relay that could not run or failed.
constexpr std::uint32_t kRelayFailedExitCode = 1;

// The host that the system's callbacks reach: the dispatcher, the control
// handler registration and the console both call plain functions, with no
// context of ours.
std::atomic<ServiceHost*> g_serviceHost{nullptr};

void serviceMainCallback() {
    if (ServiceHost* host = g_serviceHost.load())
        host->serviceMain();
}

std::uint32_t serviceControlCallback(std::uint32_t control, std::uint32_t eventType,
                                     void* eventData, void* /*context*/) {
    ServiceHost* host = g_serviceHost.load();
    return host != nullptr ? host->serviceControlHandler(control, eventType, eventData)
                           : platform::kErrorCallNotImplemented;
}

bool consoleCtrlCallback(std::uint32_t ctrlType) {
    ServiceHost* host = g_serviceHost.load();
    return host != nullptr && host->consoleCtrlHandler(ctrlType);
}

StatusPublisher::Settings statusSettings(std::chrono::milliseconds interval, bool notifyManager) {
    StatusPublisher::Settings settings;
    std::wstring dataDir;
    // Without a data folder (already logged by UserInformation) the
    // service manager still gets its status line.
    if (dataFolderPath(dataDir) == 0)
        settings.path = dataFilePath(dataDir, kStatusFileName);
    settings.interval = interval;
    settings.notifyManager = notifyManager;
    return settings;
}

}  // namespace

// Makes the server reachable for stop requests for as long as it lives, and
// honours a request that arrived before it was reachable.
class ServiceHost::ServerPublication {
public:
    ServerPublication(ServiceHost& host, SocksProxyServer& server) : m_host(host) {
        std::lock_guard<std::recursive_mutex> lock(m_host.m_serverMutex);
        m_host.m_activeServer = &server;
        if (m_host.m_stopPending) {
            m_host.m_stopPending = false;
            server.stop();
        }
    }
    ~ServerPublication() {
        std::lock_guard<std::recursive_mutex> lock(m_host.m_serverMutex);
        m_host.m_activeServer = nullptr;
    }
    ServerPublication(const ServerPublication&) = delete;
    ServerPublication& operator=(const ServerPublication&) = delete;

private:
    ServiceHost& m_host;
};

ServiceHost::ServiceHost(std::chrono::milliseconds statusInterval)
    : m_statusInterval(statusInterval) {}

ServiceHost::~ServiceHost() {
    ServiceHost* self = this;
    g_serviceHost.compare_exchange_strong(self, nullptr);
}

void ServiceHost::receiveCallbacks() {
    g_serviceHost.store(this);
}

int ServiceHost::startDispatcher() {
    receiveCallbacks();
    if (platform::serviceControl().startDispatcher(kServiceName, serviceMainCallback) != 0) {
        logEvent(L"StartServiceCtrlDispatcher failed.", kEventTypeError);
        return 1;
    }
    return m_serviceExitCode.load();
}

bool ServiceHost::CmdDebugService() {
    m_debugMode = true;
    setDebugMode(true);

    std::vector<std::wstring> args;
    if (!platform::process().commandLineArgs(args)) {
        consolePrint(std::string("CmdDebugService CommandLineToArgvW returned NULL\n"));
        return false;
    }
    consolePrint(std::wstring(L"Debugging ") + kServiceDisplayName + L".\n");
    receiveCallbacks();
    platform::process().addConsoleCtrlHandler(consoleCtrlCallback);
    m_userInfo = std::make_unique<UserInformation>();
    return ServiceStart();
}

void ServiceHost::serviceMain() {
    m_serviceExitCode = 1;
    m_userInfo = std::make_unique<UserInformation>();

    receiveCallbacks();
    platform::StatusHandle handle = 0;
    if (platform::serviceControl().registerHandler(kServiceName, serviceControlCallback, handle) !=
        0) {
        return;
    }
    m_status.attach(handle);

    bool stoppedOnRequest = false;
    if (m_status.reportServiceStatus(platform::kServiceStartPending, kStartPendingWaitHint))
        stoppedOnRequest = ServiceStart();
    // Set before the stopped report, after which the dispatcher may return.
    m_serviceExitCode = stoppedOnRequest ? 0 : 1;
    // A relay that could not start or failed must not look like a clean
    // stop: the service manager's restart policy acts only on a failure.
    m_status.reportServiceStatus(platform::kServiceStopped, 0,
                                 stoppedOnRequest ? 0 : kRelayFailedExitCode);
}

std::uint32_t ServiceHost::serviceControlHandler(std::uint32_t control, std::uint32_t eventType,
                                                 void* eventData) {
    switch (control) {
        case platform::kServiceControlStop:
            m_status.reportServiceStatus(platform::kServiceStopPending, 0);
            requestServerStop();
            return 0;
        case platform::kServiceControlInterrogate:
            m_status.reportCurrentServiceStatus();
            return 0;
        case platform::kServiceControlSessionChange:
            if (m_userInfo && eventData != nullptr) {
                m_userInfo->onSessionChange(
                    *static_cast<const platform::SessionNotification*>(eventData), eventType);
            }
            m_status.reportCurrentServiceStatus();
            return 0;
        default:
            m_status.reportCurrentServiceStatus();
            return platform::kErrorCallNotImplemented;
    }
}

bool ServiceHost::consoleCtrlHandler(std::uint32_t ctrlType) {
    if (ctrlType != platform::kCtrlCEvent && ctrlType != platform::kCtrlBreakEvent)
        return false;
    consolePrint(std::wstring(L"Stopping ") + kServiceDisplayName + L".\n");
    requestServerStop();
    return true;
}

bool ServiceHost::ServiceStart() {
    m_status.reportServiceStatus(platform::kServiceRunning, 0);

    platform::Sockets& sockets = platform::sockets();
    if (sockets.startup() != 0) {
        logEvent(L"WSAStartup() failed.", kEventTypeError);
        return false;
    }
    bool stoppedOnRequest = false;
    try {
        stoppedOnRequest = runServer();
    } catch (...) {
        logCurrentException("ServiceStart()");
    }
    if (sockets.cleanup() != 0)
        logEvent(L"WSACleanup() failed.", kEventTypeError);
    return stoppedOnRequest;
}

bool ServiceHost::runServer() {
    SocksProxyServer server(m_userInfo.get());
    if (m_userInfo)
        m_userInfo->enumerateSessions();
    // Declared after the server, so unpublished before it is destroyed.
    ServerPublication publication(*this, server);
    StatusPublisher status(statusSettings(m_statusInterval, !m_debugMode),
                           [&server] { server.wakeupSelect(); });
    server.setStatusPublisher(&status);
    status.start();
    // run says 1 when the listening socket could not be set up or an
    // exception ended it; a loop that ended without being told to stop has
    // failed as well.
    const int result = server.run();
    status.stop();
    server.setStatusPublisher(nullptr);
    return result == 0 && server.stopRequested();
}

void ServiceHost::requestServerStop() {
    std::lock_guard<std::recursive_mutex> lock(m_serverMutex);
    if (m_activeServer != nullptr) {
        m_activeServer->stop();
    } else {
        m_stopPending = true;
    }
}
