#include "platform/platform.h"

namespace platform {

Platform native() {
    Platform p;
    p.sockets = &nativeSockets();
    p.registry = &nativeRegistry();
    p.eventLog = &nativeEventLog();
    p.tcpTable = &nativeTcpTable();
    p.identity = &nativeIdentity();
    p.files = &nativeFiles();
    p.serviceControl = &nativeServiceControl();
    p.process = &nativeProcess();
    p.clock = &nativeClock();
    p.text = &nativeText();
    return p;
}

Platform& current() {
    static Platform g_current = native();
    return g_current;
}

void closeSocket(Socket& sock) {
    if (sock == kInvalidSocket)
        return;
    sockets().close(sock);
    sock = kInvalidSocket;
}

void RegKeyTraits::release(RegKey key) {
    registry().closeKey(key);
}

void ScmHandleTraits::release(ScmHandle handle) {
    serviceControl().closeHandle(handle);
}

ScopedPlatform::ScopedPlatform(const Platform& replacement) : m_saved(current()) {
    current() = replacement;
}

ScopedPlatform::~ScopedPlatform() {
    current() = m_saved;
}

}  // namespace platform
