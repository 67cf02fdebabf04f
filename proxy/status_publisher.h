// Publishes the running relay's state for `vornclient -status` and the
// service manager. A thread of its own asks the loop for a snapshot every
// interval; the loop answers with a small record in memory and goes on at
// once; the thread writes the file and the service manager's status line.
// So the loop never waits for a disk or a socket of the publisher's.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "support/status_snapshot.h"

class StatusPublisher {
public:
    struct Settings {
        // The snapshot file; empty: none is written.
        std::wstring path;
        std::chrono::milliseconds interval{2000};
        // Whether the service manager gets the summary line.
        bool notifyManager = true;
    };

    // wakeLoop: makes the loop look at snapshotWanted() soon (it runs on the
    // publisher's thread).
    StatusPublisher(Settings settings, std::function<void()> wakeLoop);
    // stop().
    ~StatusPublisher();
    StatusPublisher(const StatusPublisher&) = delete;
    StatusPublisher& operator=(const StatusPublisher&) = delete;

    // Starts the thread; the first snapshot is asked for at once. A thread
    // that cannot start is logged, and nothing is published.
    void start();
    // Ends the thread and removes the file: a relay that has stopped has no
    // state to show.
    void stop();

    // Loop thread: whether a snapshot is wanted; one atomic exchange.
    bool snapshotWanted();
    // Loop thread: hands a snapshot over. Takes a lock only to move it in.
    void handOver(RelayStatus status);

    std::chrono::milliseconds interval() const { return m_settings.interval; }

private:
    void threadMain();
    // Writes one snapshot and sends its summary; on the publisher's thread.
    void publish(const RelayStatus& status);
    void writeFile(const RelayStatus& status);
    void notifyManager(const RelayStatus& status);

    const Settings m_settings;
    const std::function<void()> m_wakeLoop;
    std::atomic<bool> m_wanted{false};

    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::unique_ptr<RelayStatus> m_pending;
    std::thread m_thread;

    // Publisher's thread, then stop(). A failure is logged when it starts,
    // not on every renewal.
    bool m_writeFailing = false;
    bool m_notifyFailing = false;
    bool m_written = false;
};
