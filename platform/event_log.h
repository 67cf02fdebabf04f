// Event log seam: RegisterEventSourceW / ReportEventW / DeregisterEventSource,
// and the registration of the source that tells viewers its message file.
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
    // Registers `source` in the Application log with `messageFile` (a full
    // path) as its message file, for every event type, so that viewers show
    // each message as it stands. 0 or an error code.
    virtual std::uint32_t registerSource(const std::wstring& source,
                                         const std::wstring& messageFile);
    // Deletes that registration. A source that is not registered is no
    // error. 0 or an error code.
    virtual std::uint32_t removeSource(const std::wstring& source);
};

}  // namespace platform
