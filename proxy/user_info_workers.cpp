#include "proxy/user_info_workers.h"

#include <algorithm>
#include <utility>

UserInfoWorkers::UserInfoWorkers(std::size_t keepIdle, std::chrono::milliseconds idleLimit)
    : m_keepIdle(keepIdle), m_idleLimit(idleLimit) {}

UserInfoWorkers::~UserInfoWorkers() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    for (std::thread& t : m_threads)
        t.join();
}

std::uint64_t UserInfoWorkers::start(Task task) {
    reapEnded();
    std::unique_lock<std::mutex> lock(m_mutex);
    const std::uint64_t ticket = ++m_nextTicket;
    m_queue.push_back(Job{ticket, std::move(task)});
    if (m_idle >= m_queue.size()) {
        m_wake.notify_one();
        return ticket;
    }
    try {
        m_threads.emplace_front();
        const Threads::iterator self = m_threads.begin();
        *self = std::thread(&UserInfoWorkers::work, this, self);
    } catch (...) {
        m_threads.pop_front();
        if (m_threads.size() == m_ended.size()) {
            m_queue.pop_back();
            throw;
        }
        // A busy thread takes the task once it is free.
    }
    return ticket;
}

void UserInfoWorkers::finish(std::uint64_t ticket) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto queued = std::find_if(m_queue.begin(), m_queue.end(),
                                     [ticket](const Job& job) { return job.ticket == ticket; });
    if (queued != m_queue.end()) {
        m_queue.erase(queued);
        return;
    }
    m_finished.wait(lock, [&] { return m_running.count(ticket) == 0; });
}

std::size_t UserInfoWorkers::threadCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size() - m_ended.size();
}

void UserInfoWorkers::work(Threads::iterator self) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        ++m_idle;
        const bool woken =
            m_wake.wait_for(lock, m_idleLimit, [this] { return m_stopping || !m_queue.empty(); });
        --m_idle;
        if (m_stopping)
            return;
        if (!woken) {
            if (m_threads.size() - m_ended.size() > m_keepIdle) {
                m_ended.push_back(self);
                return;
            }
            continue;
        }
        Job job = std::move(m_queue.front());
        m_queue.pop_front();
        m_running.insert(job.ticket);
        lock.unlock();
        job.task();
        job.task = nullptr;  // whatever it holds goes before the ticket is done
        lock.lock();
        m_running.erase(job.ticket);
        m_finished.notify_all();
    }
}

void UserInfoWorkers::reapEnded() {
    std::vector<Threads::iterator> ended;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ended.swap(m_ended);
    }
    for (Threads::iterator t : ended)
        t->join();
    if (ended.empty())
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    for (Threads::iterator t : ended)
        m_threads.erase(t);
}
