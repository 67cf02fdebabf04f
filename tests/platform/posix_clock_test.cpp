// The Linux clock counts FILETIME ticks: 100 ns since 1601-01-01 UTC.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace {

TEST(PosixClock, TicksCountFromTheFiletimeEpoch) {
    constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;
    const auto since1970 = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    const std::int64_t expected = kUnixEpochTicks + since1970 * 10;
    const std::int64_t ticks = platform::nativeClock().nowTicks();
    EXPECT_LT(std::llabs(ticks - expected), 10LL * 10000000);  // within ten seconds
    EXPECT_LE(ticks, platform::nativeClock().nowTicks());
}

}  // namespace

#endif  // _WIN32
