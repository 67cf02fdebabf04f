// System time as 100-nanosecond ticks since 1601 (a FILETIME).
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

class Win32Clock : public Clock {
public:
    std::int64_t nowTicks() override {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        return win32::ticksFromFileTime(now.dwLowDateTime, now.dwHighDateTime);
    }
};

}  // namespace

Clock& nativeClock() {
    static Win32Clock g_instance;
    return g_instance;
}

}  // namespace platform
