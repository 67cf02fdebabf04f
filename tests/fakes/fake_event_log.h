// Records diagnostic messages instead of sending them to the system's log.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"

struct RecordedEvent {
    std::wstring source;
    std::uint16_t type;
    std::wstring text;
};

class FakeEventLog : public platform::EventLog {
public:
    void report(const std::wstring& source, std::uint16_t type, const std::wstring& text) override;

    std::vector<RecordedEvent> events() const;
    std::vector<std::wstring> texts() const;
    // Narrowed (each unit below 0x100 becomes a byte) for easy comparison.
    std::vector<std::string> narrowTexts() const;
    bool contains(const std::string& fragment) const;
    std::size_t count(const std::string& fragment) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<RecordedEvent> m_events;
};
