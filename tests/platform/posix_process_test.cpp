// The Linux process seam: command line, program path, per-thread last error,
// system texts, the process-wide start-up settings and the descriptor limit.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/run_command.h"

namespace {

bool endsWith(const std::wstring& text, const std::wstring& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

TEST(PosixProcess, CommandLineAndProgramPathNameThisProgram) {
    platform::PosixProcess process;
    std::vector<std::wstring> args;
    ASSERT_TRUE(process.commandLineArgs(args));
    ASSERT_FALSE(args.empty());
    EXPECT_TRUE(endsWith(args[0], L"platform_tests")) << args[0].size();

    std::wstring path;
    ASSERT_EQ(0u, process.modulePath(512, path));
    EXPECT_EQ(L'/', path[0]);
    EXPECT_TRUE(endsWith(path, L"/platform_tests"));

    // The path and its terminating NUL must fit, as with the Windows call.
    std::wstring tooSmall;
    EXPECT_EQ(platform::kErrorInsufficientBuffer,
              process.modulePath(static_cast<std::uint32_t>(path.size()), tooSmall));
    EXPECT_EQ(0u, process.modulePath(static_cast<std::uint32_t>(path.size() + 1), tooSmall));
}

TEST(PosixProcess, LastErrorBelongsToTheCallingThread) {
    platform::PosixProcess process;
    process.setLastError(5);
    std::uint32_t seenElsewhere = 1;
    std::thread([&] {
        seenElsewhere = process.lastError();
        process.setLastError(87);
    }).join();
    EXPECT_EQ(0u, seenElsewhere);
    EXPECT_EQ(5u, process.lastError());
}

TEST(PosixProcess, SystemTextsEndInALineBreakAndUnknownCodesHaveNone) {
    platform::PosixProcess process;
    std::wstring text;
    ASSERT_TRUE(process.formatSystemMessage(platform::kErrorAccessDenied, text));
    EXPECT_EQ(L"Permission denied\r\n", text);
    EXPECT_FALSE(process.formatSystemMessage(0x7FFF0000u, text));
}

TEST(PosixProcess, WritesToAGonePipeFailAndChildrenStillGetSigpipe) {
    platform::PosixProcess().prepareProcess();
    int fds[2];
    ASSERT_EQ(0, ::pipe(fds));
    ::close(fds[0]);
    errno = 0;
    EXPECT_EQ(-1, ::write(fds[1], "x", 1));  // the process is still here
    EXPECT_EQ(EPIPE, errno);
    ::close(fds[1]);

    // A child runs with SIGPIPE (bit 12 of the ignored-signals mask) at its
    // default action again.
    std::string status;
    ASSERT_EQ(0, platform::runCommand({"grep", "^SigIgn:", "/proc/self/status"}, status));
    const unsigned long long ignored =
        std::stoull(status.substr(status.find(':') + 1), nullptr, 16);
    EXPECT_EQ(0u, ignored & (1ull << (SIGPIPE - 1))) << status;
}

TEST(PosixProcess, TheDescriptorLimitIsRaisedToTheHardLimit) {
    rlimit saved{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
    rlimit low = saved;
    low.rlim_cur = std::min<rlim_t>(saved.rlim_max, 256);
    ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));

    platform::PosixProcess process;
    std::uint64_t limit = 0;
    EXPECT_EQ(0u, process.raiseDescriptorLimit(limit));
    EXPECT_EQ(saved.rlim_max, limit);
    rlimit now{};
    ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &now));
    EXPECT_EQ(saved.rlim_max, now.rlim_cur);
    EXPECT_EQ(saved.rlim_max, now.rlim_max) << "the hard limit stays";

    // Already there: nothing to do, and the same answer.
    EXPECT_EQ(0u, process.raiseDescriptorLimit(limit));
    EXPECT_EQ(saved.rlim_max, limit);
    ::setrlimit(RLIMIT_NOFILE, &saved);
}
