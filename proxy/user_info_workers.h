// The threads on which the connections' user-information lookups run. A
// lookup goes to an idle thread when there is one, and otherwise a thread is
// started for it, so no lookup waits behind another (a resolver that hangs,
// say) and the loop never waits for either. Keeping finished threads for
// the next connections spares a thread start per connection; threads idle
// for a while end, down to a few.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

class UserInfoWorkers {
public:
    using Task = std::function<void()>;

    explicit UserInfoWorkers(std::size_t keepIdle = 4,
                             std::chrono::milliseconds idleLimit = std::chrono::seconds(30));
    // Waits for every thread; tasks still queued are dropped.
    ~UserInfoWorkers();
    UserInfoWorkers(const UserInfoWorkers&) = delete;
    UserInfoWorkers& operator=(const UserInfoWorkers&) = delete;

    // Queues the task and returns its ticket. When no thread is free and
    // none can be started, the task waits for a busy one; when there is no
    // thread at all to run it, the failure to start one is thrown and the
    // task is dropped.
    std::uint64_t start(Task task);
    // A queued task is dropped; a running one is waited for.
    void finish(std::uint64_t ticket);

    std::size_t threadCount() const;

private:
    struct Job {
        std::uint64_t ticket;
        Task task;
    };
    using Threads = std::list<std::thread>;

    void work(Threads::iterator self);
    // Joins the threads that ended on their own.
    void reapEnded();

    const std::size_t m_keepIdle;
    const std::chrono::milliseconds m_idleLimit;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_finished;
    std::deque<Job> m_queue;
    std::unordered_set<std::uint64_t> m_running;
    Threads m_threads;
    std::vector<Threads::iterator> m_ended;
    std::size_t m_idle = 0;
    std::uint64_t m_nextTicket = 0;
    bool m_stopping = false;
};

// The lookup of one pair, as the pair holds it. It exists before its task
// is started, so that nothing can leave a started task without a holder;
// joining waits until the task is done with the pair, or drops it when it
// has not begun.
class UserInfoJob {
public:
    explicit UserInfoJob(UserInfoWorkers& workers) : m_workers(workers) {}
    ~UserInfoJob() { join(); }
    UserInfoJob(const UserInfoJob&) = delete;
    UserInfoJob& operator=(const UserInfoJob&) = delete;

    // Throws as UserInfoWorkers::start does.
    void begin(UserInfoWorkers::Task task) { m_ticket = m_workers.start(std::move(task)); }
    void join() {
        if (m_ticket != 0)
            m_workers.finish(m_ticket);
        m_ticket = 0;
    }

private:
    UserInfoWorkers& m_workers;
    std::uint64_t m_ticket = 0;
};
