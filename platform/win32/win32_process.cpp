// Console control events, the command line, the program's path, last-error
// codes and their texts, waiting, and the descriptor limit there is not.
#include <windows.h>
// After windows.h, which it builds on.
#include <shellapi.h>

#include <atomic>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

// The system calls the console handler without a context of ours.
std::atomic<ConsoleCtrlHandlerFn> g_consoleHandler{nullptr};

BOOL WINAPI consoleHandlerTrampoline(DWORD ctrlType) {
    const ConsoleCtrlHandlerFn handler = g_consoleHandler.load();
    return handler != nullptr && handler(ctrlType) ? TRUE : FALSE;
}

class Win32Process : public Process {
public:
    // One handler is forwarded to: a later registration replaces it, and the
    // trampoline is added to the system's list once.
    bool addConsoleCtrlHandler(ConsoleCtrlHandlerFn handler) override {
        const ConsoleCtrlHandlerFn previous = g_consoleHandler.exchange(handler);
        if (previous != nullptr)
            return true;
        if (::SetConsoleCtrlHandler(consoleHandlerTrampoline, TRUE))
            return true;
        g_consoleHandler.store(nullptr);
        return false;
    }

    void writeStdout(const std::string& bytes) override {
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
        std::fflush(stdout);
    }

    bool commandLineArgs(std::vector<std::wstring>& out) override {
        int count = 0;
        const win32::LocalMemory<LPWSTR*> args(::CommandLineToArgvW(::GetCommandLineW(), &count));
        if (!args.valid())
            return false;
        out.assign(args.get(), args.get() + count);
        return true;
    }

    // A path cut short to fit the buffer is reported as a failure rather
    // than used: a truncated path would name the wrong program.
    std::uint32_t modulePath(std::uint32_t capacity, std::wstring& out) override {
        std::vector<wchar_t> buffer(capacity + 1, L'\0');
        const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), capacity);
        if (n == 0)
            return ::GetLastError();
        if (n >= capacity)
            return ERROR_INSUFFICIENT_BUFFER;
        out.assign(buffer.data(), n);
        return 0;
    }

    std::uint32_t lastError() override { return ::GetLastError(); }

    void setLastError(std::uint32_t code) override { ::SetLastError(code); }

    // The thread's last error is left as the formatting call set it, so a
    // caller that reads it afterwards sees what it would see right after
    // FormatMessageW.
    bool formatSystemMessage(std::uint32_t code, std::wstring& out) override {
        win32::LocalMemory<LPWSTR> text;
        const DWORD n =
            ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                             code, 0, reinterpret_cast<LPWSTR>(text.out()), 0, nullptr);
        const DWORD lastError = ::GetLastError();
        const bool formatted = n != 0 && text.valid();
        if (formatted)
            out.assign(text.get(), n);
        text.reset();  // before the error is put back: freeing may change it
        ::SetLastError(lastError);
        return formatted;
    }

    void sleepMillis(std::uint32_t ms) override { ::Sleep(ms); }

    // Handles and sockets have no per-process limit to raise.
    std::uint32_t raiseDescriptorLimit(std::uint64_t& limit) override {
        limit = 0;
        return 0;
    }
};

}  // namespace

Process& nativeProcess() {
    static Win32Process g_instance;
    return g_instance;
}

}  // namespace platform
