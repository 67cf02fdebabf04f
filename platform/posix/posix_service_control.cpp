#include "platform/posix/posix_service_control.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <thread>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/fd_handle.h"
#include "platform/posix/posix_files.h"
#include "platform/posix/run_command.h"
#include "platform/posix/sd_notify.h"
#include "platform/posix/systemd_unit.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

constexpr StatusHandle kStatusHandle = 1;
constexpr std::uint32_t kErrorServiceAlreadyRunning = 1056;
constexpr std::uint32_t kErrorServiceCannotAcceptCtrl = 1061;

std::string narrow(const std::wstring& text) {
    return utf16ToUtf8(text.data(), text.size());
}

sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    return set;
}

// Takes stop signals that arrived after the service ended, so that they do
// not act once the previous signal mask is back.
void discardPendingStopSignals() {
    const sigset_t set = stopSignals();
    const timespec now{0, 0};
    while (sigtimedwait(&set, nullptr, &now) > 0) {
    }
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

}  // namespace

PosixServiceControl::PosixServiceControl() : m_runner(runCommand) {}

void PosixServiceControl::setCommandRunner(CommandRunner runner) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_runner = std::move(runner);
}

std::uint32_t PosixServiceControl::startDispatcher(const std::wstring& /*name*/,
                                                   ServiceMainFn serviceMain) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_dispatching)
            return kErrorServiceAlreadyRunning;
    }
    // Blocked before the service thread exists, so that no thread takes the
    // stop signals in signal context: they are read from signalFd here.
    const sigset_t signals = stopSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &signals, &previous);
    posix::FdHandle signalFd(::signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
    posix::FdHandle wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    const int setupErrno = errno;
    if (!signalFd.valid() || !wakeFd.valid()) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return win32ErrorFromErrno(setupErrno);
    }

    beginDispatch(wakeFd.get());
    const std::uint32_t result = runService(serviceMain, signalFd.get(), wakeFd.get());
    m_sessionWatcher.stop();
    discardPendingStopSignals();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    endDispatch();
    return result;
}

void PosixServiceControl::beginDispatch(int wakeFd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dispatching = true;
    m_wakeFd = wakeFd;
    m_handler = nullptr;
    m_acceptsStop = false;
    m_acceptsSessionChange = false;
    m_pendingStops = 0;
    m_serviceEnded = false;
}

std::uint32_t PosixServiceControl::runService(ServiceMainFn serviceMain, int signalFd, int wakeFd) {
    try {
        std::thread service([this, serviceMain] {
            serviceMain();
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_serviceEnded = true;
            }
            wakeDispatcher();
        });
        const std::uint32_t result = dispatchUntilStopped(signalFd, wakeFd);
        service.join();
        return result;
    } catch (const std::system_error&) {
        return kErrorNotEnoughMemory;
    }
}

void PosixServiceControl::endDispatch() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sessionEvents.clear();
    m_dispatching = false;
    m_wakeFd = -1;
    m_handler = nullptr;
}

std::uint32_t PosixServiceControl::dispatchUntilStopped(int signalFd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{signalFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return win32ErrorFromErrno(errno);

        signalfd_siginfo info;
        while (::read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            std::lock_guard<std::mutex> lock(m_mutex);
            ++m_pendingStops;
        }
        std::uint64_t wakeups = 0;
        while (::read(wakeFd, &wakeups, sizeof wakeups) > 0) {
        }

        ControlHandlerFn handler = nullptr;
        unsigned stops = 0;
        std::deque<std::pair<std::uint32_t, std::uint32_t>> sessionEvents;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_serviceEnded)
                return 0;
            handler = m_handler;
            // As with the Windows service manager, a control waits until the
            // service has a handler and has reported that it accepts it:
            // session changes from the first report of running on.
            if (handler != nullptr && m_acceptsSessionChange)
                sessionEvents.swap(m_sessionEvents);
            if (handler != nullptr && m_acceptsStop) {
                stops = m_pendingStops;
                m_pendingStops = 0;
            }
        }
        for (unsigned i = 0; i < stops; ++i)
            handler(kServiceControlStop, 0, nullptr, nullptr);
        // Session changes go through the same thread as stop, so the handler
        // never runs on two threads at once.
        for (const auto& event : sessionEvents) {
            SessionNotification notification;
            notification.sessionId = event.second;
            handler(kServiceControlSessionChange, event.first, &notification, nullptr);
        }
    }
}

void PosixServiceControl::wakeDispatcher() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_wakeFd < 0)
        return;
    const std::uint64_t one = 1;
    while (::write(m_wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void PosixServiceControl::postStopControl() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_pendingStops;
    }
    wakeDispatcher();
}

void PosixServiceControl::postSessionEvent(std::uint32_t eventType, std::uint32_t sessionId) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sessionEvents.emplace_back(eventType, sessionId);
    }
    wakeDispatcher();
}

std::uint32_t PosixServiceControl::registerHandler(const std::wstring& /*name*/,
                                                   ControlHandlerFn handler, StatusHandle& out) {
    bool dispatching = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handler = handler;
        dispatching = m_dispatching;
    }
    // Session events are watched only for a dispatched service, so that
    // registering a handler in a test does not watch the real system.
    if (dispatching) {
        m_sessionWatcher.start([this](std::uint32_t eventType, std::uint32_t uid) {
            postSessionEvent(eventType, uid);
        });
    }
    out = kStatusHandle;
    wakeDispatcher();
    return 0;
}

std::string PosixServiceControl::notificationFor(const ServiceStatus& status) {
    switch (status.currentState) {
        case kServiceStartPending:
            return "STATUS=Starting";
        case kServiceRunning:
            return "READY=1\nSTATUS=Running";
        case kServiceStopPending:
            return "STOPPING=1\nSTATUS=Stopping";
        case kServiceStopped:
            return "STATUS=Stopped";
        default:
            return std::string();
    }
}

std::uint32_t PosixServiceControl::setStatus(StatusHandle handle, const ServiceStatus& status) {
    if (handle != kStatusHandle)
        return kErrorInvalidHandle;
    const bool acceptsStop = (status.controlsAccepted & kServiceAcceptStop) != 0;
    const bool acceptsSessionChange = (status.controlsAccepted & kServiceAcceptSessionChange) != 0;
    bool acceptsMore = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        acceptsMore =
            (acceptsStop && !m_acceptsStop) || (acceptsSessionChange && !m_acceptsSessionChange);
        m_acceptsStop = acceptsStop;
        m_acceptsSessionChange = acceptsSessionChange;
    }
    // Controls held back until now go out.
    if (acceptsMore)
        wakeDispatcher();
    const std::string message = notificationFor(status);
    if (message.empty())
        return 0;
    const int err = notifyServiceManager(message);
    return err == 0 ? 0 : win32ErrorFromErrno(err);
}

std::uint32_t PosixServiceControl::setStatusText(const std::wstring& text) {
    std::string line = narrow(text);
    // One assignment per line: a line break would start another one.
    for (char& c : line) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    const int err = notifyServiceManager("STATUS=" + line);
    return err == 0 ? 0 : win32ErrorFromErrno(err);
}

ScmHandle PosixServiceControl::addHandle(const Handle& handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const ScmHandle id = m_nextHandle++;
    m_handles[id] = handle;
    return id;
}

bool PosixServiceControl::findHandle(ScmHandle handle, bool wantService, Handle& out) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_handles.find(handle);
    if (it == m_handles.end() || it->second.isService != wantService)
        return false;
    out = it->second;
    return true;
}

int PosixServiceControl::run(const std::vector<std::string>& argv, std::string& output) {
    CommandRunner runner;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        runner = m_runner;
    }
    return runner(argv, output);
}

void PosixServiceControl::reloadUnits(const std::string& unitDir) {
    // Only the system's own unit folder is known to systemd.
    if (unitDir != kDefaultUnitDir)
        return;
    std::string ignored;
    run({"systemctl", "daemon-reload"}, ignored);
}

std::uint32_t PosixServiceControl::activeState(const std::string& unitName) {
    std::string output;
    // Without systemctl nothing can be running under systemd.
    if (run({"systemctl", "is-active", unitName}, output) < 0)
        return kServiceStopped;
    const std::string state = trimmed(output);
    if (state == "active" || state == "reloading")
        return kServiceRunning;
    if (state == "activating")
        return kServiceStartPending;
    if (state == "deactivating")
        return kServiceStopPending;
    return kServiceStopped;
}

std::uint32_t PosixServiceControl::openManager(std::uint32_t access, ScmHandle& out) {
    out = 0;
    const std::string dir = unitDirectory();
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0)
        return win32ErrorFromErrno(errno);
    if (!S_ISDIR(st.st_mode))
        return win32ErrorFromErrno(ENOTDIR);
    if ((access & kScManagerCreateService) != 0 && ::access(dir.c_str(), W_OK) != 0) {
        return win32ErrorFromErrno(errno);
    }
    Handle manager;
    manager.unitDir = dir;
    out = addHandle(manager);
    return 0;
}

bool PosixServiceControl::serviceOf(ScmHandle manager, const std::wstring& name, Handle& service) {
    if (!findHandle(manager, false, service))
        return false;
    service.isService = true;
    service.unitName = unitFileName(narrow(name));
    service.unitPath = service.unitDir + "/" + service.unitName;
    return true;
}

std::uint32_t PosixServiceControl::createService(ScmHandle manager, const std::wstring& name,
                                                 const std::wstring& displayName,
                                                 const std::wstring& binaryPath, ScmHandle& out) {
    out = 0;
    Handle service;
    if (!serviceOf(manager, name, service))
        return kErrorInvalidHandle;

    const int fd = ::open(service.unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return win32ErrorFromErrno(errno);
    const int writeErrno =
        posix::writeAll(fd, unitFileText(narrow(displayName), narrow(binaryPath)));
    const bool closed = ::close(fd) == 0;
    if (writeErrno != 0 || !closed) {
        const int err = writeErrno != 0 ? writeErrno : errno;
        ::unlink(service.unitPath.c_str());
        return win32ErrorFromErrno(err);
    }
    reloadUnits(service.unitDir);
    out = addHandle(service);
    return 0;
}

std::uint32_t PosixServiceControl::openService(ScmHandle manager, const std::wstring& name,
                                               std::uint32_t /*access*/, ScmHandle& out) {
    out = 0;
    Handle service;
    if (!serviceOf(manager, name, service))
        return kErrorInvalidHandle;
    struct stat st {};
    if (::stat(service.unitPath.c_str(), &st) != 0)
        return win32ErrorFromErrno(errno);
    out = addHandle(service);
    return 0;
}

std::uint32_t PosixServiceControl::controlStop(ScmHandle service, ServiceStatus& status) {
    Handle unit;
    if (!findHandle(service, true, unit))
        return kErrorInvalidHandle;
    if (activeState(unit.unitName) == kServiceStopped)
        return kErrorServiceNotActive;

    std::string ignored;
    if (run({"systemctl", "stop", "--no-block", unit.unitName}, ignored) != 0) {
        return kErrorServiceCannotAcceptCtrl;
    }
    // The stop job is queued; until it starts the unit still looks active.
    std::uint32_t state = activeState(unit.unitName);
    if (state == kServiceRunning)
        state = kServiceStopPending;
    status.serviceType = kServiceWin32OwnProcess;
    status.currentState = state;
    status.controlsAccepted = state == kServiceStopped ? 0 : kServiceAcceptStop;
    return 0;
}

std::uint32_t PosixServiceControl::queryStatus(ScmHandle service, ServiceStatus& status) {
    Handle unit;
    if (!findHandle(service, true, unit))
        return kErrorInvalidHandle;
    status.serviceType = kServiceWin32OwnProcess;
    status.currentState = activeState(unit.unitName);
    status.controlsAccepted = status.currentState == kServiceStopped ? 0 : kServiceAcceptStop;
    return 0;
}

std::uint32_t PosixServiceControl::deleteService(ScmHandle service) {
    Handle unit;
    if (!findHandle(service, true, unit))
        return kErrorInvalidHandle;
    if (unit.unitDir == kDefaultUnitDir) {
        // An enabled unit leaves links behind; remove them with the unit.
        std::string ignored;
        run({"systemctl", "disable", "--quiet", unit.unitName}, ignored);
    }
    if (::unlink(unit.unitPath.c_str()) != 0)
        return win32ErrorFromErrno(errno);
    reloadUnits(unit.unitDir);
    return 0;
}

std::uint32_t PosixServiceControl::setFailureActions(ScmHandle service,
                                                     const FailureActions& /*actions*/) {
    Handle unit;
    return findHandle(service, true, unit) ? 0 : kErrorInvalidHandle;
}

void PosixServiceControl::closeHandle(ScmHandle handle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handles.erase(handle);
}

ServiceControl& nativeServiceControl() {
    static PosixServiceControl g_instance;
    return g_instance;
}

}  // namespace platform
