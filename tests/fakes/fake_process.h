// The process seam for tests: scripted command line, program path, system
// texts and descriptor limit, a per-fake last error, sleeps that only count,
// and the console handlers that were added.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/process.h"

class FakeProcess : public platform::Process {
public:
    bool addConsoleCtrlHandler(platform::ConsoleCtrlHandlerFn handler) override;
    // Collected instead of printed.
    void writeStdout(const std::string& bytes) override;
    bool commandLineArgs(std::vector<std::wstring>& out) override;
    std::uint32_t modulePath(std::uint32_t capacity, std::wstring& out) override;
    std::uint32_t lastError() override;
    void setLastError(std::uint32_t code) override;
    bool formatSystemMessage(std::uint32_t code, std::wstring& out) override;
    void sleepMillis(std::uint32_t ms) override;
    std::uint32_t raiseDescriptorLimit(std::uint64_t& limit) override;

    std::vector<std::wstring> m_args{L"vornclient", L"-debug"};
    bool m_failArgs = false;
    std::wstring m_modulePath = L"C:\\Program Files\\Tarnwicket\\vornclient.exe";
    std::uint32_t m_modulePathError = 0;
    // System texts by code (with their trailing "\r\n"); other codes fail.
    std::map<std::uint32_t, std::wstring> m_messages;
    // What raiseDescriptorLimit reports: the limit, and an error or 0.
    std::uint64_t m_descriptorLimit = 0;
    std::uint32_t m_descriptorLimitError = 0;

    std::vector<platform::ConsoleCtrlHandlerFn> handlers() const;
    // What was written to standard output since the last call.
    std::string takeStdout();
    std::vector<std::uint32_t> sleeps() const;

private:
    std::uint32_t m_lastError = 0;
    mutable std::mutex m_mutex;
    std::vector<platform::ConsoleCtrlHandlerFn> m_handlers;
    std::string m_stdout;
    std::vector<std::uint32_t> m_sleeps;
};
