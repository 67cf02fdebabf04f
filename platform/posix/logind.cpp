#include "platform/posix/logind.h"

#include <poll.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/posix/errno_map.h"

namespace platform {
namespace posix {
namespace {

// logind creates this folder when it starts. The folder alone proves
// nothing (a container image may carry a stale one), so systemd must also be
// the init system: sd_booted() checks that.
constexpr const char* kLogindSeatsFolder = "/run/systemd/seats/";

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};

// A user is "online" or "active" while one of its sessions lasts;
// "lingering" users have no session at all, and "closing" ones only
// sessions that have ended (processes left behind a logout).
bool hasLoginSession(uid_t uid) {
    char* state = nullptr;
    if (sd_uid_get_state(uid, &state) < 0 || state == nullptr)
        return false;
    const std::unique_ptr<char, FreeDeleter> owned(state);
    return std::strcmp(state, "active") == 0 || std::strcmp(state, "online") == 0;
}

class SdLoginMonitor : public LogindMonitor {
public:
    explicit SdLoginMonitor(sd_login_monitor* monitor) : m_monitor(monitor) {}
    ~SdLoginMonitor() override { sd_login_monitor_unref(m_monitor); }
    SdLoginMonitor(const SdLoginMonitor&) = delete;
    SdLoginMonitor& operator=(const SdLoginMonitor&) = delete;

    int fd() const override { return sd_login_monitor_get_fd(m_monitor); }
    short events() const override {
        const int events = sd_login_monitor_get_events(m_monitor);
        return events > 0 ? static_cast<short>(events) : static_cast<short>(POLLIN);
    }
    // sd_login_monitor_get_timeout() is not polled for: the monitor is
    // inotify on logind's folders and never asks for a timed wake-up.
    void flush() override { sd_login_monitor_flush(m_monitor); }

private:
    sd_login_monitor* m_monitor;
};

class SdLogind : public Logind {
public:
    bool running() const override {
        return sd_booted() > 0 && ::access(kLogindSeatsFolder, F_OK) == 0;
    }

    bool sessionUids(std::vector<std::uint32_t>& uids) const override {
        uid_t* list = nullptr;
        const int count = sd_get_uids(&list);
        if (count < 0)
            return false;
        const std::unique_ptr<uid_t, FreeDeleter> owned(list);
        for (int i = 0; i < count && list != nullptr; ++i) {
            if (hasLoginSession(list[i]))
                uids.push_back(static_cast<std::uint32_t>(list[i]));
        }
        return true;
    }

    std::unique_ptr<LogindMonitor> openMonitor(std::uint32_t& error) override {
        sd_login_monitor* monitor = nullptr;
        // "uid": the users' records, which change with their sessions' states.
        const int result = sd_login_monitor_new("uid", &monitor);
        if (result < 0) {
            error = win32ErrorFromErrno(-result);
            return nullptr;
        }
        error = 0;
        return std::make_unique<SdLoginMonitor>(monitor);
    }
};

}  // namespace

Logind& systemLogind() {
    static SdLogind g_instance;
    return g_instance;
}

}  // namespace posix
}  // namespace platform
