// The system time as Windows FILETIME ticks: 100 ns since 1601-01-01 UTC.
#include <time.h>

#include "platform/platform.h"

namespace platform {
namespace {

// 1601-01-01 to 1970-01-01 in 100-ns ticks.
constexpr std::int64_t kUnixEpochTicks = 116444736000000000LL;

class PosixClock : public Clock {
public:
    std::int64_t nowTicks() override {
        timespec now{};
        clock_gettime(CLOCK_REALTIME, &now);
        return kUnixEpochTicks + static_cast<std::int64_t>(now.tv_sec) * 10000000 +
               now.tv_nsec / 100;
    }
};

}  // namespace

Clock& nativeClock() {
    static PosixClock g_instance;
    return g_instance;
}

}  // namespace platform
