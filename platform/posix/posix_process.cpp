#include "platform/posix/posix_process.h"

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/console_signals.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

thread_local std::uint32_t t_lastError = 0;

// FormatMessageW's buffer limit: 64K characters.
constexpr std::uint32_t kMessageCapacity = 64 * 1024;

}  // namespace

void PosixProcess::prepareProcess() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, nullptr);
}

bool PosixProcess::addConsoleCtrlHandler(ConsoleCtrlHandlerFn handler) {
    return addConsoleSignalHandler(handler);
}

void PosixProcess::writeStdout(const std::string& bytes) {
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

bool PosixProcess::commandLineArgs(std::vector<std::wstring>& out) {
    out.clear();
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    if (!in)
        return false;
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::size_t start = 0;
    while (start < raw.size()) {
        std::size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        out.push_back(utf8ToUtf16(raw.data() + start, end - start));
        start = end + 1;
    }
    return true;
}

std::uint32_t PosixProcess::modulePath(std::uint32_t capacity, std::wstring& out) {
    out.clear();
    std::string path(4096, '\0');
    const ssize_t n = ::readlink("/proc/self/exe", &path[0], path.size());
    if (n < 0)
        return win32ErrorFromErrno(errno);
    if (static_cast<std::size_t>(n) >= path.size())
        return kErrorInsufficientBuffer;
    path.resize(static_cast<std::size_t>(n));
    std::wstring wide = utf8ToUtf16(path.data(), path.size());
    // Like GetModuleFileNameW: the path and its NUL must fit the buffer.
    if (wide.size() + 1 > capacity)
        return kErrorInsufficientBuffer;
    out = std::move(wide);
    return 0;
}

std::uint32_t PosixProcess::lastError() {
    return t_lastError;
}

void PosixProcess::setLastError(std::uint32_t code) {
    t_lastError = code;
}

bool PosixProcess::formatSystemMessage(std::uint32_t code, std::wstring& out) {
    out.clear();
    std::wstring buffer(kMessageCapacity, L'\0');
    const std::uint32_t n = nativeText().formatMessage(code, &buffer[0], kMessageCapacity);
    if (n == 0)
        return false;
    buffer.resize(n);
    out = std::move(buffer);
    return true;
}

void PosixProcess::sleepMillis(std::uint32_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Every browser connection costs two descriptors, and the soft limit that
// services often start with (1,024) is far below the pair limit's 4,094.
// The hard limit is finite on Linux: the kernel refuses more than nr_open.
std::uint32_t PosixProcess::raiseDescriptorLimit(std::uint64_t& limit) {
    limit = 0;
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0)
        return win32ErrorFromErrno(errno);
    limit = current.rlim_cur;
    if (current.rlim_cur >= current.rlim_max)
        return 0;
    rlimit raised = current;
    raised.rlim_cur = current.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) != 0)
        return win32ErrorFromErrno(errno);
    limit = raised.rlim_cur;
    return 0;
}

Process& nativeProcess() {
    static PosixProcess g_instance;
    return g_instance;
}

}  // namespace platform
