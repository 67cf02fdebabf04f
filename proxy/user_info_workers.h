// The threads on which the connections' user-information lookups run. A
// lookup goes to an idle thread when there is one, and otherwise a thread is
// started for it, so no lookup waits behind another (a resolver or a user
// directory that hangs, say) and the loop never waits for either. Keeping
// finished threads for the next connections spares a thread start per
// connection; threads idle for a while end, down to a few.
//
// Nobody waits for a task that runs: a task that its connection no longer
// needs is let go and ends on its own, holding what it uses. The threads
// share their state with the pool, so they may outlive it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

class UserInfoWorkers {
public:
    using Task = std::function<void()>;

    explicit UserInfoWorkers(std::size_t keepIdle = 4,
                             std::chrono::milliseconds idleLimit = std::chrono::seconds(30));
    // Drops the queued tasks and tells the threads to end; tasks that run
    // finish on their own.
    ~UserInfoWorkers();
    UserInfoWorkers(const UserInfoWorkers&) = delete;
    UserInfoWorkers& operator=(const UserInfoWorkers&) = delete;

    // Queues the task and returns its ticket. When no thread is free and
    // none can be started, the task waits for a busy one; when there is no
    // thread at all to run it, the failure to start one is thrown and the
    // task is dropped.
    std::uint64_t start(Task task);
    // A queued task is dropped; a running one is let go.
    void release(std::uint64_t ticket);

    std::size_t threadCount() const;
    std::size_t idleThreadCount() const;
    // Tasks running in every pool of the process: what must not meet the
    // process's end (the objects they use are destroyed then).
    static std::size_t tasksRunning();
    // Waits until no task runs anywhere, or the time is up; true when none.
    static bool waitUntilNoTaskRuns(std::chrono::milliseconds limit);

private:
    struct Shared;
    std::shared_ptr<Shared> m_shared;
};

// The lookup of one pair, as the pair holds it. It exists before its task is
// started, so that nothing can leave a started task without a holder; ending
// it drops a task that has not begun and lets a running one go.
class UserInfoJob {
public:
    explicit UserInfoJob(UserInfoWorkers& workers) : m_workers(workers) {}
    ~UserInfoJob() {
        if (m_ticket != 0)
            m_workers.release(m_ticket);
    }
    UserInfoJob(const UserInfoJob&) = delete;
    UserInfoJob& operator=(const UserInfoJob&) = delete;

    // Throws as UserInfoWorkers::start does.
    void begin(UserInfoWorkers::Task task) { m_ticket = m_workers.start(std::move(task)); }

private:
    UserInfoWorkers& m_workers;
    std::uint64_t m_ticket = 0;
};
