// Event log seam: RegisterEventSourceW / ReportEventW / DeregisterEventSource.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

constexpr std::uint16_t kEventError = 1;
constexpr std::uint16_t kEventWarning = 2;
constexpr std::uint16_t kEventInformation = 4;

class EventLog {
public:
    virtual ~EventLog() = default;
    // Registers the source, reports one event (category 0, id 1, the text as
    // the only insertion string) and deregisters. Failures are silent.
    virtual void report(const std::wstring& source, std::uint16_t type, const std::wstring& text);
};

}  // namespace platform
