#include "platform/posix/session_watcher.h"

#include <fcntl.h>
#include <paths.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/login_sessions.h"
#include "platform/service_control.h"

namespace platform {
namespace posix {
namespace {

// utmp is rewritten in place by login programs, or replaced as a whole; its
// folder is watched so that a replaced file is still seen.
constexpr std::uint32_t kUtmpFolderMask =
    IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR;

// Enough for any real command; a longer line is dropped whole.
constexpr std::size_t kMaxInjectedLine = 64;
// Reads per wake-up, so that a writer that never stops cannot keep the
// thread from seeing a stop request.
constexpr int kMaxReadsPerWakeup = 64;

constexpr std::uint32_t kInvalidUid = 0xFFFFFFFF;  // (uid_t)-1 names nobody

// The folder part and the last name of a path, trailing slashes ignored.
std::pair<std::string, std::string> splitPath(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// One to ten decimal digits naming a valid uid, nothing else.
bool parseUidText(const std::string& text, std::uint32_t& uid) {
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value >= kInvalidUid)
        return false;
    uid = static_cast<std::uint32_t>(value);
    return true;
}

}  // namespace

SessionWatcher::SessionWatcher()
    : SessionWatcher(systemLogind(), _PATH_UTMP, injectionPathFromEnvironment()) {}

SessionWatcher::SessionWatcher(Logind& logind, std::string utmpPath, std::string fifoPath)
    : m_logind(logind), m_utmpPath(std::move(utmpPath)), m_fifoPath(std::move(fifoPath)) {}

SessionWatcher::~SessionWatcher() {
    stop();
}

std::string SessionWatcher::injectionPathFromEnvironment() {
    const char* value = std::getenv(kInjectionVariable);
    return value != nullptr ? std::string(value) : std::string();
}

bool SessionWatcher::parseInjectedLine(const std::string& line, std::uint32_t& eventType,
                                       std::uint32_t& uid) {
    std::size_t begin = 0;
    std::size_t end = line.size();
    while (begin < end && isBlank(line[begin]))
        ++begin;
    while (end > begin && isBlank(line[end - 1]))
        --end;
    std::size_t wordEnd = begin;
    while (wordEnd < end && !isBlank(line[wordEnd]))
        ++wordEnd;
    std::size_t numberBegin = wordEnd;
    while (numberBegin < end && isBlank(line[numberBegin]))
        ++numberBegin;
    if (numberBegin == wordEnd)
        return false;  // no separator, or no number

    const std::string word = line.substr(begin, wordEnd - begin);
    std::uint32_t type = 0;
    if (word == "logon")
        type = kWtsSessionLogon;
    else if (word == "logoff")
        type = kWtsSessionLogoff;
    else
        return false;
    std::uint32_t value = 0;
    if (!parseUidText(line.substr(numberBegin, end - numberBegin), value))
        return false;
    eventType = type;
    uid = value;
    return true;
}

std::uint32_t SessionWatcher::start(EventHandler onEvent) {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (m_thread.joinable())
        return kErrorAlreadyExists;
    if (!onEvent)
        return kErrorInvalidParameter;

    int wake[2];
    if (::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return win32ErrorFromErrno(errno);
    m_wakeRead.reset(wake[0]);
    m_wakeWrite.reset(wake[1]);
    if (!m_fifoPath.empty()) {
        const std::uint32_t err = openInjectionFifo();
        if (err != 0) {
            closeDescriptors();
            return err;
        }
    }
    // The source first, then the starting set: a change in between is then
    // both in the set and signalled, and its rescan finds nothing new.
    if (const std::uint32_t err = watchSource()) {
        closeDescriptors();
        return err;
    }
    m_loggedOn.clear();
    scan(m_loggedOn);
    m_injectedLine.clear();
    m_discardingLine = false;
    m_onEvent = std::move(onEvent);
    try {
        m_thread = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        closeDescriptors();
        m_onEvent = nullptr;
        return kErrorNotEnoughMemory;
    }
    return 0;
}

void SessionWatcher::stop() {
    std::lock_guard<std::mutex> lock(m_controlMutex);
    if (!m_thread.joinable())
        return;
    const char byte = 1;
    while (::write(m_wakeWrite.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    m_thread.join();
    closeDescriptors();
    m_onEvent = nullptr;
}

void SessionWatcher::closeDescriptors() {
    m_fifo.reset();
    m_monitor.reset();
    m_inotify.reset();  // drops the watch with it
    m_utmpWd = -1;
    m_wakeWrite.reset();
    m_wakeRead.reset();
}

std::uint32_t SessionWatcher::openInjectionFifo() {
    struct stat st {};
    if (::lstat(m_fifoPath.c_str(), &st) != 0) {
        if (errno != ENOENT)
            return win32ErrorFromErrno(errno);
        if (::mkfifo(m_fifoPath.c_str(), 0600) != 0 && errno != EEXIST)
            return win32ErrorFromErrno(errno);
    } else if (!S_ISFIFO(st.st_mode)) {
        // Never open whatever else is there (a file, a device, a link).
        return kErrorFileExists;
    }
    // Read and write: the FIFO then always has a writer, so the end of one
    // writer is no end of file and poll() does not report a hang-up.
    m_fifo.reset(::open(m_fifoPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    if (!m_fifo.valid())
        return win32ErrorFromErrno(errno);
    if (::fstat(m_fifo.get(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
        m_fifo.reset();
        return kErrorFileExists;
    }
    return 0;
}

std::uint32_t SessionWatcher::watchSource() {
    // Decided once per start: the unit starts after logind, so logind is up
    // by then wherever it runs at all.
    m_useLogind = m_logind.running();
    if (m_useLogind) {
        std::uint32_t err = 0;
        m_monitor = m_logind.openMonitor(err);
        return m_monitor ? 0 : err;
    }
    m_inotify.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (!m_inotify.valid())
        return win32ErrorFromErrno(errno);
    if (!m_utmpPath.empty()) {
        const auto utmp = splitPath(m_utmpPath);
        m_utmpName = utmp.second;
        // A missing folder leaves nothing to watch; injected lines still come.
        m_utmpWd = ::inotify_add_watch(m_inotify.get(), utmp.first.c_str(), kUtmpFolderMask);
    }
    return 0;
}

bool SessionWatcher::scan(std::set<std::uint32_t>& uids) const {
    std::vector<std::uint32_t> found;
    // An unreadable source says nothing about who is logged on.
    if (m_useLogind) {
        if (!m_logind.sessionUids(found))
            return false;
    } else if (m_utmpPath.empty() || !uidsFromUtmpFile(m_utmpPath, found)) {
        return false;
    }
    uids = std::set<std::uint32_t>(found.begin(), found.end());
    return true;
}

void SessionWatcher::run() {
    for (;;) {
        const int sourceFd = m_monitor ? m_monitor->fd() : m_inotify.get();
        const short sourceEvents = m_monitor ? m_monitor->events() : static_cast<short>(POLLIN);
        pollfd fds[3] = {{m_wakeRead.get(), POLLIN, 0},
                         {sourceFd, sourceEvents, 0},  // -1 when absent: ignored
                         {m_fifo.get(), POLLIN, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;  // nothing sensible left to wait on
        }
        if (fds[0].revents != 0)
            return;
        if ((fds[1].revents & sourceEvents) != 0) {
            if (takeSourceWakeup())
                rescan();
        } else if (fds[1].revents != 0) {
            // Broken: stop polling it rather than spin.
            m_monitor.reset();
            m_inotify.reset();
        }
        if ((fds[2].revents & POLLIN) != 0)
            readInjected();
        else if (fds[2].revents != 0)
            m_fifo.reset();
    }
}

bool SessionWatcher::takeSourceWakeup() {
    if (m_monitor) {
        m_monitor->flush();
        return true;
    }
    return drainInotify();
}

bool SessionWatcher::drainInotify() {
    alignas(inotify_event) char buffer[4096];
    bool relevant = false;
    for (int reads = 0; reads < kMaxReadsPerWakeup; ++reads) {
        const ssize_t n = ::read(m_inotify.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        for (ssize_t pos = 0; pos + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + pos);
            pos += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                relevant = true;  // events were lost: only a rescan can tell
            } else if (event->wd == m_utmpWd && event->len > 0 && m_utmpName == event->name) {
                relevant = true;
            }
        }
    }
    return relevant;
}

void SessionWatcher::rescan() {
    std::set<std::uint32_t> now;
    if (!scan(now))
        return;
    std::vector<std::uint32_t> gone;
    std::vector<std::uint32_t> came;
    for (const std::uint32_t uid : m_loggedOn) {
        if (now.count(uid) == 0)
            gone.push_back(uid);
    }
    for (const std::uint32_t uid : now) {
        if (m_loggedOn.count(uid) == 0)
            came.push_back(uid);
    }
    m_loggedOn = std::move(now);
    for (const std::uint32_t uid : gone)
        deliver(kWtsSessionLogoff, uid);
    for (const std::uint32_t uid : came)
        deliver(kWtsSessionLogon, uid);
}

void SessionWatcher::readInjected() {
    char buffer[512];
    for (int reads = 0; reads < kMaxReadsPerWakeup; ++reads) {
        const ssize_t n = ::read(m_fifo.get(), buffer, sizeof buffer);
        if (n > 0) {
            takeInjectedBytes(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            m_fifo.reset();
        return;
    }
}

void SessionWatcher::takeInjectedBytes(const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\n') {
            std::uint32_t eventType = 0;
            std::uint32_t uid = 0;
            if (!m_discardingLine && parseInjectedLine(m_injectedLine, eventType, uid))
                deliver(eventType, uid);
            m_injectedLine.clear();
            m_discardingLine = false;
        } else if (!m_discardingLine) {
            if (m_injectedLine.size() < kMaxInjectedLine) {
                m_injectedLine.push_back(c);
            } else {
                m_injectedLine.clear();
                m_discardingLine = true;
            }
        }
    }
}

void SessionWatcher::deliver(std::uint32_t eventType, std::uint32_t uid) {
    // The handler runs on this thread; an exception escaping it would end
    // the process, and one lost notification is the lesser harm.
    try {
        m_onEvent(eventType, uid);
    } catch (...) {
    }
}

}  // namespace posix
}  // namespace platform
