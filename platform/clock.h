// Clock seam: the system time in 100-nanosecond ticks.
#pragma once

#include <cstdint>

namespace platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual std::int64_t nowTicks();
};

}  // namespace platform
