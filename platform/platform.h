// The process-wide platform: one instance of each seam. The core reaches the
// operating system only through these. Tests swap in fakes with
// ScopedPlatform for the lifetime of a test.
#pragma once

#include "platform/clock.h"
#include "platform/event_log.h"
#include "platform/files.h"
#include "platform/identity.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/service_control.h"
#include "platform/sockets.h"
#include "platform/tcp_table.h"
#include "platform/text.h"
#include "platform/unique_handle.h"

namespace platform {

struct Platform {
    Sockets* sockets = nullptr;
    Registry* registry = nullptr;
    EventLog* eventLog = nullptr;
    TcpTable* tcpTable = nullptr;
    Identity* identity = nullptr;
    Files* files = nullptr;
    ServiceControl* serviceControl = nullptr;
    Process* process = nullptr;
    Clock* clock = nullptr;
    Text* text = nullptr;
};

// The implementations of the platform this program is built for.
Platform native();

// The instance in use; starts as native().
Platform& current();

// Replaces the instance in use until destruction. Install before starting
// threads that use it; not for concurrent swapping.
class ScopedPlatform {
public:
    explicit ScopedPlatform(const Platform& replacement);
    ~ScopedPlatform();
    ScopedPlatform(const ScopedPlatform&) = delete;
    ScopedPlatform& operator=(const ScopedPlatform&) = delete;

private:
    Platform m_saved;
};

inline Sockets& sockets() {
    return *current().sockets;
}
inline Registry& registry() {
    return *current().registry;
}
inline EventLog& eventLog() {
    return *current().eventLog;
}
inline TcpTable& tcpTable() {
    return *current().tcpTable;
}
inline Identity& identity() {
    return *current().identity;
}
inline Files& files() {
    return *current().files;
}
inline ServiceControl& serviceControl() {
    return *current().serviceControl;
}
inline Process& process() {
    return *current().process;
}
inline Clock& clock() {
    return *current().clock;
}
inline Text& text() {
    return *current().text;
}

// Closes a socket that is open and marks it invalid, so it is never closed
// twice.
void closeSocket(Socket& sock);

// A socket closed through the sockets seam when its owner goes.
struct SocketTraits {
    using Handle = Socket;
    static Handle invalid() { return kInvalidSocket; }
    static void release(Handle sock) { closeSocket(sock); }
};
using UniqueSocket = UniqueHandle<SocketTraits>;

// Defined once per platform, in platform/posix or platform/win32.
Sockets& nativeSockets();
Registry& nativeRegistry();
EventLog& nativeEventLog();
TcpTable& nativeTcpTable();
Identity& nativeIdentity();
Files& nativeFiles();
ServiceControl& nativeServiceControl();
Process& nativeProcess();
Clock& nativeClock();
Text& nativeText();

}  // namespace platform
