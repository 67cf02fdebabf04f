// A clock that moves only when a test moves it.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/clock.h"

class FakeClock : public platform::Clock {
public:
    static constexpr std::int64_t kTicksPerSecond = platform::kTicksPerSecond;

    std::int64_t nowTicks() override { return m_now.load(); }
    void set(std::int64_t ticks) { m_now.store(ticks); }
    void advanceSeconds(double seconds) {
        m_now.fetch_add(static_cast<std::int64_t>(seconds * kTicksPerSecond));
    }
    void advanceTicks(std::int64_t ticks) { m_now.fetch_add(ticks); }

private:
    // Each clock starts a day after the one before (from some day in 2012),
    // so that time never runs backwards for process-wide state across tests.
    static std::int64_t nextStart() {
        static std::atomic<std::int64_t> g_next{130000000000000000};
        return g_next.fetch_add(86400 * kTicksPerSecond);
    }
    std::atomic<std::int64_t> m_now{nextStart()};
};
