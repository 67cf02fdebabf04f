// The service host: process entry and modes, the service main routine and
// control handler, status reports and the worker that runs one relay.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/service_control.h"

class SocksProxyServer;
class UserInformation;

// Guards g_activeServer; held for the whole of every stop request.
extern std::recursive_mutex g_serverMutex;
// The running server, or null. Not owned.
extern SocksProxyServer* g_activeServer;
// The single UserInformation of the process.
extern std::unique_ptr<UserInformation> g_userInfo;
extern platform::ServiceStatus g_serviceStatus;
extern platform::StatusHandle g_statusHandle;

// Entry: looks at the first argument and runs a mode; always returns 0.
int serviceEntry(int argc, char** argv);

void installService();
void removeService();
void CmdDebugService();
std::wstring lastErrorText();
bool consoleCtrlHandler(std::uint32_t ctrlType);

void serviceMain();
std::uint32_t serviceControlHandler(std::uint32_t control, std::uint32_t eventType,
                                    void* eventData, void* context);
bool reportServiceStatus(std::uint32_t state, std::uint32_t waitHint);

void ServiceStart();
// The stop request of the control handlers: lock, stop the published
// server (or remember the request until one is published), unlock.
void requestServerStop();
