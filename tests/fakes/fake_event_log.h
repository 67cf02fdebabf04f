// Records diagnostic messages instead of sending them to the system's log,
// and keeps the registered event sources in memory.
#pragma once

#include <cstdint>
#include <map>
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
    std::uint32_t registerSource(const std::wstring& source,
                                 const std::wstring& messageFile) override;
    std::uint32_t removeSource(const std::wstring& source) override;

    // Registered sources with their message files.
    std::map<std::wstring, std::wstring> sources() const;
    void addSource(const std::wstring& source, const std::wstring& messageFile);
    // Non-zero: registering / removing a source fails with this code.
    std::uint32_t m_registerSourceError = 0;
    std::uint32_t m_removeSourceError = 0;

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
    std::map<std::wstring, std::wstring> m_sources;
};
