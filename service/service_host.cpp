#include "service/service_host.h"

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "proxy/status_publisher.h"
#include "support/data_folder.h"
#include "support/logging.h"
#include "userinfo/user_information.h"

std::recursive_mutex g_serverMutex;
SocksProxyServer* g_activeServer = nullptr;
std::unique_ptr<UserInformation> g_userInfo;
std::chrono::milliseconds g_statusInterval{2000};

namespace {

// A stop request that found no published server; guarded by g_serverMutex.
// Without it a Ctrl+C or stop control that arrives while the server is being
// constructed would be lost and the relay would run on.
bool g_stopPending = false;

// Makes the server reachable for stop requests for as long as it lives, and
// honours a request that arrived before it was reachable.
class ServerPublication {
public:
    explicit ServerPublication(SocksProxyServer& server) {
        std::lock_guard<std::recursive_mutex> lock(g_serverMutex);
        g_activeServer = &server;
        if (g_stopPending) {
            g_stopPending = false;
            server.stop();
        }
    }
    ~ServerPublication() {
        std::lock_guard<std::recursive_mutex> lock(g_serverMutex);
        g_activeServer = nullptr;
    }
    ServerPublication(const ServerPublication&) = delete;
    ServerPublication& operator=(const ServerPublication&) = delete;
};

StatusPublisher::Settings statusSettings() {
    StatusPublisher::Settings settings;
    std::wstring dataDir;
    // Without a data folder (already logged by UserInformation) the
    // service manager still gets its status line.
    if (dataFolderPath(dataDir) == 0)
        settings.path = dataFilePath(dataDir, kStatusFileName);
    settings.interval = g_statusInterval;
    settings.notifyManager = !g_debugMode;
    return settings;
}

bool runServer() {
    SocksProxyServer server(g_userInfo.get());
    if (g_userInfo)
        g_userInfo->enumerateSessions();
    // Declared after the server, so unpublished before it is destroyed.
    ServerPublication publication(server);
    StatusPublisher status(statusSettings(), [&server] { server.wakeupSelect(); });
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

}  // namespace

bool ServiceStart() {
    if (g_statusHandle != 0)
        reportServiceStatus(platform::kServiceRunning, 0);

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

void requestServerStop() {
    std::lock_guard<std::recursive_mutex> lock(g_serverMutex);
    if (g_activeServer != nullptr) {
        g_activeServer->stop();
    } else {
        g_stopPending = true;
    }
}

bool serverStopPending() {
    std::lock_guard<std::recursive_mutex> lock(g_serverMutex);
    return g_stopPending;
}

void clearServerStopPending() {
    std::lock_guard<std::recursive_mutex> lock(g_serverMutex);
    g_stopPending = false;
}
