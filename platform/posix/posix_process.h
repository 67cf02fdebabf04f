// The process seam on Linux: console events from signals, the command line
// from /proc/self/cmdline, the program's path from /proc/self/exe, a
// per-thread last-error code, and RLIMIT_NOFILE.
#pragma once

#include "platform/process.h"

namespace platform {

class PosixProcess : public Process {
public:
    // Ignores SIGPIPE (programs this one runs get the default back).
    void prepareProcess() override;
    bool addConsoleCtrlHandler(ConsoleCtrlHandlerFn handler) override;
    void writeStdout(const std::string& bytes) override;
    bool commandLineArgs(std::vector<std::wstring>& out) override;
    std::uint32_t modulePath(std::uint32_t capacity, std::wstring& out) override;
    std::uint32_t lastError() override;
    void setLastError(std::uint32_t code) override;
    // strerror's text of the errno the code stands for, with "\r\n" as system
    // texts end; false for a code without one.
    bool formatSystemMessage(std::uint32_t code, std::wstring& out) override;
    void sleepMillis(std::uint32_t ms) override;
    // The soft RLIMIT_NOFILE up to the hard one.
    std::uint32_t raiseDescriptorLimit(std::uint64_t& limit) override;
};

}  // namespace platform
