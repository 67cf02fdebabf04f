// The Linux process seam: command line, program path, per-thread last error
// and system texts.
#include <thread>

#include <gtest/gtest.h>

#include "platform/errors.h"
#include "platform/posix/posix_process.h"

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
