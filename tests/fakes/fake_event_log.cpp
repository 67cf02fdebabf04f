#include "tests/fakes/fake_event_log.h"

void FakeEventLog::report(const std::wstring& source, std::uint16_t type,
                          const std::wstring& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.push_back({source, type, text});
}

std::vector<RecordedEvent> FakeEventLog::events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::vector<std::wstring> FakeEventLog::texts() const {
    std::vector<std::wstring> out;
    for (const auto& e : events())
        out.push_back(e.text);
    return out;
}

std::vector<std::string> FakeEventLog::narrowTexts() const {
    std::vector<std::string> out;
    for (const auto& t : texts()) {
        std::string s;
        for (wchar_t c : t)
            s.push_back(static_cast<char>(c < 0x100 ? c : '?'));
        out.push_back(s);
    }
    return out;
}

bool FakeEventLog::contains(const std::string& fragment) const {
    return count(fragment) > 0;
}

std::size_t FakeEventLog::count(const std::string& fragment) const {
    std::size_t n = 0;
    for (const auto& t : narrowTexts()) {
        if (t.find(fragment) != std::string::npos)
            ++n;
    }
    return n;
}

void FakeEventLog::clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
}

std::uint32_t FakeEventLog::registerSource(const std::wstring& source,
                                           const std::wstring& messageFile) {
    if (m_registerSourceError != 0)
        return m_registerSourceError;
    addSource(source, messageFile);
    return 0;
}

std::uint32_t FakeEventLog::removeSource(const std::wstring& source) {
    if (m_removeSourceError != 0)
        return m_removeSourceError;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sources.erase(source);
    return 0;
}

std::map<std::wstring, std::wstring> FakeEventLog::sources() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sources;
}

void FakeEventLog::addSource(const std::wstring& source, const std::wstring& messageFile) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sources[source] = messageFile;
}
