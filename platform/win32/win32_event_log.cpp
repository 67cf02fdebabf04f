// The Windows event log: one registration per message, so no handle is kept
// across threads.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

constexpr DWORD kEventId = 1;

class Win32EventLog : public EventLog {
public:
    void report(const std::wstring& source, std::uint16_t type, const std::wstring& text) override {
        HANDLE handle = ::RegisterEventSourceW(nullptr, source.c_str());
        if (handle == nullptr)
            return;
        // The text travels as an insertion string, so '%' in it stays verbatim.
        LPCWSTR strings[1] = {text.c_str()};
        ::ReportEventW(handle, type, 0, kEventId, nullptr, 1, 0, strings, nullptr);
        ::DeregisterEventSource(handle);
    }
};

}  // namespace

EventLog& nativeEventLog() {
    static Win32EventLog g_instance;
    return g_instance;
}

}  // namespace platform
