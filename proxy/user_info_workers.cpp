#include "proxy/user_info_workers.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

namespace {

std::mutex g_runningMutex;
std::condition_variable g_runningChanged;
std::size_t g_running = 0;

void countRunning(int delta) {
    std::lock_guard<std::mutex> lock(g_runningMutex);
    g_running = static_cast<std::size_t>(static_cast<long long>(g_running) + delta);
    if (g_running == 0)
        g_runningChanged.notify_all();
}

}  // namespace

struct UserInfoWorkers::Shared {
    struct Job {
        std::uint64_t ticket;
        Task task;
    };

    Shared(std::size_t keepIdle, std::chrono::milliseconds idleLimit)
        : keepIdle(keepIdle), idleLimit(idleLimit) {}

    // The body of every thread; `self` keeps the state alive as long as it runs.
    static void work(std::shared_ptr<Shared> self) { self->serve(); }
    void serve();
    // False when the thread should end: stopping, or idle too long while
    // enough others are kept.
    bool takeJob(std::unique_lock<std::mutex>& lock, Job& job);

    const std::size_t keepIdle;
    const std::chrono::milliseconds idleLimit;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    std::size_t threads = 0;
    std::size_t idle = 0;
    std::uint64_t nextTicket = 0;
    bool stopping = false;
};

bool UserInfoWorkers::Shared::takeJob(std::unique_lock<std::mutex>& lock, Job& job) {
    for (;;) {
        ++idle;
        const bool woken =
            wake.wait_for(lock, idleLimit, [this] { return stopping || !queue.empty(); });
        --idle;
        if (stopping)
            return false;
        if (woken) {
            job = std::move(queue.front());
            queue.pop_front();
            // Counted before the pool's lock is let go, so that nobody sees
            // the job neither queued nor running.
            countRunning(1);
            return true;
        }
        if (threads > keepIdle)
            return false;
    }
}

void UserInfoWorkers::Shared::serve() {
    std::unique_lock<std::mutex> lock(mutex);
    Job job;
    while (takeJob(lock, job)) {
        lock.unlock();
        job.task();
        job.task = nullptr;  // whatever it holds goes before it counts as done
        countRunning(-1);
        lock.lock();
    }
    --threads;
}

UserInfoWorkers::UserInfoWorkers(std::size_t keepIdle, std::chrono::milliseconds idleLimit)
    : m_shared(std::make_shared<Shared>(keepIdle, idleLimit)) {}

UserInfoWorkers::~UserInfoWorkers() {
    {
        std::lock_guard<std::mutex> lock(m_shared->mutex);
        m_shared->stopping = true;
        m_shared->queue.clear();
    }
    m_shared->wake.notify_all();
}

std::uint64_t UserInfoWorkers::start(Task task) {
    Shared& shared = *m_shared;
    std::unique_lock<std::mutex> lock(shared.mutex);
    const std::uint64_t ticket = ++shared.nextTicket;
    shared.queue.push_back(Shared::Job{ticket, std::move(task)});
    if (shared.idle >= shared.queue.size()) {
        shared.wake.notify_one();
        return ticket;
    }
    try {
        std::thread(&Shared::work, m_shared).detach();
        ++shared.threads;
    } catch (...) {
        if (shared.threads == 0) {
            shared.queue.pop_back();
            throw;
        }
        // A busy thread takes the task once it is free.
    }
    return ticket;
}

void UserInfoWorkers::release(std::uint64_t ticket) {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    auto& queue = m_shared->queue;
    queue.erase(std::remove_if(queue.begin(), queue.end(),
                               [ticket](const Shared::Job& job) { return job.ticket == ticket; }),
                queue.end());
}

std::size_t UserInfoWorkers::threadCount() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->threads;
}

std::size_t UserInfoWorkers::idleThreadCount() const {
    std::lock_guard<std::mutex> lock(m_shared->mutex);
    return m_shared->idle;
}

std::size_t UserInfoWorkers::tasksRunning() {
    std::lock_guard<std::mutex> lock(g_runningMutex);
    return g_running;
}

bool UserInfoWorkers::waitUntilNoTaskRuns(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(g_runningMutex);
    return g_runningChanged.wait_for(lock, limit, [] { return g_running == 0; });
}
