#include "tests/fakes/fake_process.h"

bool FakeProcess::addConsoleCtrlHandler(platform::ConsoleCtrlHandlerFn handler) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_handlers.push_back(handler);
    return true;
}

void FakeProcess::writeStdout(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stdout += bytes;
}

std::string FakeProcess::takeStdout() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string taken;
    taken.swap(m_stdout);
    return taken;
}

bool FakeProcess::commandLineArgs(std::vector<std::wstring>& out) {
    if (m_failArgs)
        return false;
    out = m_args;
    return true;
}

std::uint32_t FakeProcess::modulePath(std::uint32_t capacity, std::wstring& out) {
    if (m_modulePathError != 0)
        return m_modulePathError;
    if (m_modulePath.size() + 1 > capacity)
        return 122;  // ERROR_INSUFFICIENT_BUFFER
    out = m_modulePath;
    return 0;
}

std::uint32_t FakeProcess::lastError() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

void FakeProcess::setLastError(std::uint32_t code) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_lastError = code;
}

bool FakeProcess::formatSystemMessage(std::uint32_t code, std::wstring& out) {
    const auto it = m_messages.find(code);
    if (it == m_messages.end())
        return false;
    out = it->second;
    return true;
}

void FakeProcess::sleepMillis(std::uint32_t ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sleeps.push_back(ms);
}

std::vector<platform::ConsoleCtrlHandlerFn> FakeProcess::handlers() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_handlers;
}

std::vector<std::uint32_t> FakeProcess::sleeps() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_sleeps;
}

std::uint32_t FakeProcess::raiseDescriptorLimit(std::uint64_t& limit) {
    limit = m_descriptorLimit;
    return m_descriptorLimitError;
}
