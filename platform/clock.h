// Clock seam: the system time in 100-nanosecond ticks.
#pragma once

#include <cstdint>

namespace platform {

constexpr std::int64_t kTicksPerSecond = 10000000;

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t nowTicks();
};

}  // namespace platform
