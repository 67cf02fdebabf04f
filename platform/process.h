// Process seam: console control events and output, the command line, the
// program's path, the last-error text, waiting, and the descriptor limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

constexpr std::uint32_t kCtrlCEvent = 0;
constexpr std::uint32_t kCtrlBreakEvent = 1;

using ConsoleCtrlHandlerFn = bool (*)(std::uint32_t ctrlType);

class Process {
public:
    virtual ~Process() = default;
    // Process-wide settings, made once at start-up before any other thread
    // exists: console output to a pipe or terminal that has gone away fails
    // like any other write instead of ending the process.
    virtual void prepareProcess();
    // SetConsoleCtrlHandler(handler, TRUE).
    virtual bool addConsoleCtrlHandler(ConsoleCtrlHandlerFn handler);
    // Writes the bytes to standard output and flushes them, so that progress
    // shows as it is made.
    virtual void writeStdout(const std::string& bytes);
    // GetCommandLineW + CommandLineToArgvW; false when the split fails.
    virtual bool commandLineArgs(std::vector<std::wstring>& out);
    // GetModuleFileNameW into a buffer of `capacity` units; 0 or an error.
    virtual std::uint32_t modulePath(std::uint32_t capacity, std::wstring& out);
    // The calling thread's last error, and the system text for a code with
    // the trailing line break it carries (FormatMessageW, system table,
    // language 0, allocated). False when formatting fails.
    virtual std::uint32_t lastError();
    virtual void setLastError(std::uint32_t code);
    virtual bool formatSystemMessage(std::uint32_t code, std::wstring& out);
    virtual void sleepMillis(std::uint32_t ms);
    // Raises the number of descriptors the process may hold to the most it
    // is allowed; `limit` receives the limit in effect afterwards, 0 where
    // the system has no such limit. 0 or an error, the limit then unchanged.
    virtual std::uint32_t raiseDescriptorLimit(std::uint64_t& limit);
};

}  // namespace platform
