// The service host: process entry and modes, the service main routine and
// control handler, status reports and the worker that runs one relay.
// This header holds the worker and the state shared by the host's threads;
// it also brings in the host's other units.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>

#include "service/command_line.h"
#include "service/installer.h"
#include "service/service_status.h"

class SocksProxyServer;
class UserInformation;

// Guards g_activeServer; held for the whole of every stop request.
extern std::recursive_mutex g_serverMutex;
// The running server, or null. Not owned.
extern SocksProxyServer* g_activeServer;
// The single UserInformation of the process.
extern std::unique_ptr<UserInformation> g_userInfo;
// How often the running relay renews its state for `vornclient -status`
// (2 s; tests shorten it).
extern std::chrono::milliseconds g_statusInterval;

// Runs one relay: starts the socket library, constructs and publishes the
// server, runs it until it is stopped, and tears everything down again.
// True when the relay ran and ended on a stop request; false when it could
// not start or ended on a failure of its own.
bool ServiceStart();

// The stop request of the control handlers: under g_serverMutex, stops the
// published server, or remembers the request until a server is published.
void requestServerStop();

// Whether a stop request is waiting for a server to be published.
bool serverStopPending();
// Forgets a waiting stop request (a fresh process has none).
void clearServerStopPending();
