#include "proxy/user_info_workers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace {

// A gate that tasks wait at until the test opens it.
class Gate {
public:
    void wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, [this] { return m_open; });
    }
    void open() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    bool waitForWaiting(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::seconds(20), [&] { return m_waiting >= n; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_waiting = 0;
    bool m_open = false;
};

// Runs a task and waits until it has run, as the loop does: it joins a
// lookup once the lookup has said it is done.
void runToEnd(UserInfoWorkers& workers, std::function<void()> task) {
    std::promise<void> ran;
    const auto ticket = workers.start([&] {
        task();
        ran.set_value();
    });
    ASSERT_EQ(ran.get_future().wait_for(std::chrono::seconds(20)), std::future_status::ready);
    workers.release(ticket);
    // Back among the idle ones before the next task comes.
    for (int i = 0; i < 4000 && workers.idleThreadCount() < workers.threadCount(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(UserInfoWorkersTest, ThreadsAreReusedAndABusyOneNeverHoldsUpAnother) {
    UserInfoWorkers workers;
    int done = 0;
    for (int i = 0; i < 5; ++i)
        runToEnd(workers, [&] { ++done; });
    EXPECT_EQ(done, 5);
    EXPECT_EQ(workers.threadCount(), 1u) << "one after the other: the same thread";

    // A lookup that hangs does not delay the next one.
    Gate gate;
    const auto hanging = workers.start([&] { gate.wait(); });
    ASSERT_TRUE(gate.waitForWaiting(1));
    runToEnd(workers, [&] { ++done; });
    EXPECT_EQ(done, 6);
    EXPECT_EQ(workers.threadCount(), 2u);
    gate.open();
    workers.release(hanging);
    EXPECT_TRUE(UserInfoWorkers::waitUntilNoTaskRuns(std::chrono::seconds(20)));
}

TEST(UserInfoWorkersTest, NobodyWaitsForATaskThatIsLetGo) {
    Gate gate;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    {
        UserInfoWorkers workers;
        const auto running = workers.start([&gate, finished] {
            gate.wait();
            *finished = true;
        });
        ASSERT_TRUE(gate.waitForWaiting(1));
        workers.release(running);  // returns at once
        EXPECT_EQ(UserInfoWorkers::tasksRunning(), 1u);
    }  // and so does the pool's end
    EXPECT_FALSE(*finished);
    gate.open();
    ASSERT_TRUE(UserInfoWorkers::waitUntilNoTaskRuns(std::chrono::seconds(20)));
    EXPECT_TRUE(*finished) << "the task ended on its own";
}

TEST(UserInfoWorkersTest, IdleThreadsEndDownToTheOnesKept) {
    UserInfoWorkers workers(1, std::chrono::milliseconds(10));
    Gate gate;
    const auto a = workers.start([&] { gate.wait(); });
    const auto b = workers.start([&] { gate.wait(); });
    ASSERT_TRUE(gate.waitForWaiting(2));
    EXPECT_EQ(workers.threadCount(), 2u);
    gate.open();
    workers.release(a);
    workers.release(b);
    for (int i = 0; i < 2000 && workers.threadCount() > 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(workers.threadCount(), 1u);
    // The one kept still works.
    bool ran = false;
    runToEnd(workers, [&] { ran = true; });
    EXPECT_TRUE(ran);
}

}  // namespace
