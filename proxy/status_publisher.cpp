#include "proxy/status_publisher.h"

#include "platform/platform.h"
#include "support/logging.h"
#include "support/status_report.h"

StatusPublisher::StatusPublisher(Settings settings, std::function<void()> wakeLoop)
    : m_settings(std::move(settings)), m_wakeLoop(std::move(wakeLoop)) {}

StatusPublisher::~StatusPublisher() {
    stop();
}

void StatusPublisher::start() {
    try {
        m_thread = std::thread([this] { threadMain(); });
    } catch (...) {
        logCurrentException("StatusPublisher::start()");
    }
}

void StatusPublisher::stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_all();
    if (!m_thread.joinable())
        return;
    m_thread.join();
    // Only a file of this run's: another relay's is not ours to remove.
    if (m_written)
        platform::files().deleteFile(m_settings.path);
    m_written = false;
}

bool StatusPublisher::snapshotWanted() {
    return m_wanted.exchange(false);
}

void StatusPublisher::handOver(RelayStatus status) {
    status.intervalMillis = static_cast<std::uint32_t>(m_settings.interval.count());
    auto moved = std::make_unique<RelayStatus>(std::move(status));
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_pending = std::move(moved);
    }
    m_changed.notify_all();
}

void StatusPublisher::threadMain() {
    using Clock = std::chrono::steady_clock;
    Clock::time_point due = Clock::now();
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (Clock::now() >= due) {
            due = Clock::now() + m_settings.interval;
            m_wanted.store(true);
            lock.unlock();
            m_wakeLoop();
            lock.lock();
            continue;
        }
        m_changed.wait_until(lock, due, [this] { return m_stopping || m_pending != nullptr; });
        if (m_pending != nullptr && !m_stopping) {
            const std::unique_ptr<RelayStatus> status = std::move(m_pending);
            lock.unlock();
            publish(*status);
            lock.lock();
        }
    }
}

void StatusPublisher::publish(const RelayStatus& status) {
    writeFile(status);
    notifyManager(status);
}

void StatusPublisher::writeFile(const RelayStatus& status) {
    if (m_settings.path.empty())
        return;
    std::uint32_t error = 0;
    try {
        error = platform::files().replacePrivateFile(m_settings.path, formatSnapshot(status));
    } catch (...) {
        if (!m_writeFailing)
            logCurrentException("StatusPublisher::writeFile()");
        m_writeFailing = true;
        return;
    }
    if (error != 0 && !m_writeFailing) {
        (LogMessage("StatusPublisher::writeFile()")
         << L", cannot write " << m_settings.path << L", error = " << error)
            .log();
    }
    m_writeFailing = error != 0;
    m_written = m_written || error == 0;
}

void StatusPublisher::notifyManager(const RelayStatus& status) {
    if (!m_settings.notifyManager)
        return;
    const std::uint32_t error = platform::serviceControl().setStatusText(statusSummary(status));
    if (error != 0 && !m_notifyFailing) {
        (LogMessage("StatusPublisher::notifyManager()")
         << L", the service manager took no status line, error = " << error)
            .log();
    }
    m_notifyFailing = error != 0;
}
