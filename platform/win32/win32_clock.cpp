// System time as 100-nanosecond ticks since 1601 (a FILETIME).
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

class Win32Clock : public Clock {
public:
    std::int64_t nowTicks() override {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        ULARGE_INTEGER ticks;
        ticks.LowPart = now.dwLowDateTime;
        ticks.HighPart = now.dwHighDateTime;
        return static_cast<std::int64_t>(ticks.QuadPart);
    }
};

}  // namespace

Clock& nativeClock() {
    static Win32Clock g_instance;
    return g_instance;
}

}  // namespace platform
