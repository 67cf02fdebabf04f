// Logon and logoff of users on Linux, in place of the service manager's
// session-change notifications. A session here is a uid: its first login
// session is its logon, the end of its last one its logoff.
//
// Sources: systemd-logind through sd-login when logind runs at start, the
// utmp file otherwise (watched with inotify). Either is read again whenever
// it signals a change, and only changes of the set of logged-on uids are
// reported. A test can also inject events through a FIFO that carries lines
// "logon <uid>" and "logoff <uid>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/posix/fd_handle.h"
#include "platform/posix/logind.h"

namespace platform {
namespace posix {

class SessionWatcher {
public:
    // eventType is kWtsSessionLogon or kWtsSessionLogoff.
    using EventHandler = std::function<void(std::uint32_t eventType, std::uint32_t uid)>;

    static constexpr const char* kInjectionVariable = "VORNCLIENT_SESSION_EVENTS";

    // The machine's logind and utmp file; the FIFO named by the environment.
    SessionWatcher();
    // logind must outlive the watcher. An empty fifoPath means no injection.
    SessionWatcher(Logind& logind, std::string utmpPath, std::string fifoPath);
    ~SessionWatcher();
    SessionWatcher(const SessionWatcher&) = delete;
    SessionWatcher& operator=(const SessionWatcher&) = delete;

    // Takes the uids logged on now as the starting point (not reported), then
    // reports every change on a thread of its own. 0, or an error code when
    // the watcher cannot run (nothing is left running then).
    std::uint32_t start(EventHandler onEvent);
    // Wakes and joins the thread; events in flight are dropped. Safe to call
    // more than once; never from the event handler.
    void stop();

    // The FIFO path in the environment, empty when unset.
    static std::string injectionPathFromEnvironment();
    // One injected line without its newline. False for anything but
    // "logon <uid>" or "logoff <uid>" with a decimal uid.
    static bool parseInjectedLine(const std::string& line, std::uint32_t& eventType,
                                  std::uint32_t& uid);

private:
    using Fd = FdHandle;

    std::uint32_t openInjectionFifo();
    std::uint32_t watchSource();
    bool scan(std::set<std::uint32_t>& uids) const;
    void run();
    bool takeSourceWakeup();
    bool drainInotify();
    void rescan();
    void readInjected();
    void takeInjectedBytes(const char* data, std::size_t size);
    void deliver(std::uint32_t eventType, std::uint32_t uid);
    void closeDescriptors();

    Logind& m_logind;
    const std::string m_utmpPath;
    const std::string m_fifoPath;

    std::mutex m_controlMutex;  // serialises start() and stop()
    std::thread m_thread;
    EventHandler m_onEvent;
    Fd m_wakeRead;
    Fd m_wakeWrite;
    Fd m_fifo;
    // The source, chosen at start: logind's monitor, or inotify on utmp's
    // folder (the file may be replaced as a whole).
    bool m_useLogind = false;
    std::unique_ptr<LogindMonitor> m_monitor;
    Fd m_inotify;
    int m_utmpWd = -1;
    std::string m_utmpName;

    // Owned by the watcher thread while it runs.
    std::set<std::uint32_t> m_loggedOn;
    std::string m_injectedLine;
    bool m_discardingLine = false;
};

}  // namespace posix
}  // namespace platform
