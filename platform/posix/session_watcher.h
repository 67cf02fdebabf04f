// Logon and logoff of users on Linux, in place of the service manager's
// session-change notifications. A session here is a uid: its first login
// session is its logon, the end of its last one its logoff.
//
// Sources: systemd-logind's per-user files (one file named by the uid while
// the user has sessions) when that folder exists, the utmp file otherwise;
// both are watched with inotify and rescanned on change, and only changes of
// the set of logged-on uids are reported. A test can also inject events
// through a FIFO that carries lines "logon <uid>" and "logoff <uid>".
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/posix/unique_fd.h"

namespace platform {
namespace posix {

class SessionWatcher {
public:
    // eventType is kWtsSessionLogon or kWtsSessionLogoff.
    using EventHandler = std::function<void(std::uint32_t eventType, std::uint32_t uid)>;

    static constexpr const char* kLogindUsersFolder = "/run/systemd/users";
    static constexpr const char* kInjectionVariable = "VORNCLIENT_SESSION_EVENTS";

    // The system's folder and utmp file; the FIFO named by the environment.
    SessionWatcher();
    // An empty fifoPath means no injection.
    SessionWatcher(std::string logindFolder, std::string utmpPath, std::string fifoPath);
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
    using Fd = UniqueFd;

    std::uint32_t openInjectionFifo();
    void addWatch(const std::string& path, std::uint32_t mask, const std::string& name);
    void watchSources();
    void refreshLogindWatch();
    bool scan(std::set<std::uint32_t>& uids) const;
    void run();
    bool drainInotify();
    void rescan();
    void readInjected();
    void takeInjectedBytes(const char* data, std::size_t size);
    void deliver(std::uint32_t eventType, std::uint32_t uid);
    void closeDescriptors();

    const std::string m_logindFolder;
    const std::string m_utmpPath;
    const std::string m_fifoPath;

    std::mutex m_controlMutex;  // serialises start() and stop()
    std::thread m_thread;
    EventHandler m_onEvent;
    Fd m_wakeRead;
    Fd m_wakeWrite;
    Fd m_inotify;
    Fd m_fifo;

    // Owned by the watcher thread while it runs.
    std::multimap<int, std::string> m_watches;  // wd -> entry name that counts, "" for any
    int m_logindWd = -1;
    std::set<std::uint32_t> m_loggedOn;
    std::string m_injectedLine;
    bool m_discardingLine = false;
};

}  // namespace posix
}  // namespace platform
