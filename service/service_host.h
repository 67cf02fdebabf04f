// The service host: the process's one service, run by the service manager
// or in the console. It owns the single UserInformation, runs one relay at a
// time (ServiceStart), reports the service's state and takes the stop
// requests and session changes of the control handlers.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>

#include "service/service_status.h"

class SocksProxyServer;
class UserInformation;

// How often a running relay renews its state for `vornclient -status`.
constexpr std::chrono::milliseconds kStatusInterval{2000};

class ServiceHost {
public:
    explicit ServiceHost(std::chrono::milliseconds statusInterval = kStatusInterval);
    ~ServiceHost();
    ServiceHost(const ServiceHost&) = delete;
    ServiceHost& operator=(const ServiceHost&) = delete;

    // Hands the process to the service manager, which runs serviceMain on a
    // thread of its own. Returns when the service has stopped: 0 when the
    // relay ran and ended on a stop request, 1 otherwise.
    int startDispatcher();
    // Runs the relay in the console until Ctrl+C or Ctrl+Break, without
    // status reports or diagnostic messages; false when it could not run or
    // failed.
    bool CmdDebugService();

    // The service main routine, on the service's thread.
    void serviceMain();
    // Stop (1), interrogate (4) and session change (14); 120 for anything else.
    std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t eventType,
                                        void* eventData);
    // Ctrl+C (0) and Ctrl+Break (1) stop the relay and count as handled;
    // every other event is left to the next handler.
    bool consoleCtrlHandler(std::uint32_t ctrlType);

    // Runs one relay: starts the socket library, constructs and publishes the
    // server, runs it until it is stopped, and tears everything down again.
    // True when the relay ran and ended on a stop request; false when it
    // could not start or ended on a failure of its own.
    bool ServiceStart();

private:
    class ServerPublication;

    // Makes this host the one that the system's callbacks reach.
    void receiveCallbacks();
    bool runServer();
    // Under m_serverMutex, stops the published server, or remembers the
    // request until a server is published.
    void requestServerStop();

    ServiceStatusReporter m_status;
    // Guards m_activeServer and m_stopPending; held for the whole of every
    // stop request.
    std::recursive_mutex m_serverMutex;
    // The running server, or null. Not owned.
    SocksProxyServer* m_activeServer = nullptr;
    // A stop request that found no published server. Without it a Ctrl+C or
    // stop control that arrives while the server is being constructed would
    // be lost and the relay would run on.
    bool m_stopPending = false;
    // Set by CmdDebugService: no service manager to tell the state to.
    bool m_debugMode = false;
    // The single UserInformation of the process, made by serviceMain or
    // CmdDebugService.
    std::unique_ptr<UserInformation> m_userInfo;
    const std::chrono::milliseconds m_statusInterval;
    std::atomic<int> m_serviceExitCode{1};
};
