// A stand-in for logind: the test sets who has a login session, and every
// change wakes the monitors through a pipe, as logind's folder changes wake
// sd-login's monitor.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/logind.h"

class FakeLogind : public platform::posix::Logind {
public:
    FakeLogind() {
        if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
            m_pipe[0] = m_pipe[1] = -1;
    }
    ~FakeLogind() override {
        ::close(m_pipe[0]);
        ::close(m_pipe[1]);
    }
    FakeLogind(const FakeLogind&) = delete;
    FakeLogind& operator=(const FakeLogind&) = delete;

    // Scripting, before a watcher starts.
    void setRunning(bool running) { m_running = running; }
    void failMonitor(std::uint32_t error) { m_monitorError = error; }

    bool running() const override { return m_running; }

    bool sessionUids(std::vector<std::uint32_t>& uids) const override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_readable)
            return false;
        uids.insert(uids.end(), m_uids.begin(), m_uids.end());
        return true;
    }

    std::unique_ptr<platform::posix::LogindMonitor> openMonitor(std::uint32_t& error) override {
        error = m_monitorError;
        if (error != 0)
            return nullptr;
        return std::make_unique<Monitor>(*this);
    }

    // The new records (readable false: logind cannot be asked), then a wake-up.
    void set(std::vector<std::uint32_t> uids, bool readable = true) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_uids = std::move(uids);
        m_readable = readable;
        const char byte = 1;
        if (::write(m_pipe[1], &byte, 1) == 1)
            ++m_written;
    }

    // Waits until a monitor has taken every wake-up so far; false when none
    // does within 10 seconds. The watcher rescans right after that, before
    // it reads anything else.
    bool waitFlushed() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(10),
                                  [this] { return m_flushed >= m_written; });
    }

private:
    class Monitor : public platform::posix::LogindMonitor {
    public:
        explicit Monitor(FakeLogind& owner) : m_owner(owner) {}
        int fd() const override { return m_owner.m_pipe[0]; }
        short events() const override { return POLLIN; }
        void flush() override {
            std::lock_guard<std::mutex> lock(m_owner.m_mutex);
            char buffer[64];
            ssize_t n = 0;
            while ((n = ::read(m_owner.m_pipe[0], buffer, sizeof buffer)) > 0)
                m_owner.m_flushed += static_cast<std::size_t>(n);
            m_owner.m_changed.notify_all();
        }

    private:
        FakeLogind& m_owner;
    };

    bool m_running = true;
    std::uint32_t m_monitorError = 0;
    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::uint32_t> m_uids;
    bool m_readable = true;
    std::size_t m_written = 0;  // wake-ups sent
    std::size_t m_flushed = 0;  // and taken
    int m_pipe[2];
};
