// The process and clock seams.
#include <gtest/gtest.h>

#include <windows.h>

#include <cwctype>
#include <string>

#include "platform/errors.h"
#include "platform/platform.h"

namespace {

platform::Process& process() {
    return platform::nativeProcess();
}

std::wstring lower(std::wstring s) {
    for (wchar_t& c : s)
        c = static_cast<wchar_t>(std::towlower(c));
    return s;
}

bool endsWith(const std::wstring& s, const std::wstring& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Win32ProcessTest, ModulePathIsThisProgramAndIsNeverTruncated) {
    std::wstring path;
    ASSERT_EQ(0u, process().modulePath(512, path));
    EXPECT_TRUE(endsWith(lower(path), L"win32_tests.exe"));
    EXPECT_EQ(L':', path.at(1));

    std::wstring cut = L"unchanged";
    EXPECT_EQ(platform::kErrorInsufficientBuffer, process().modulePath(8, cut));
    EXPECT_EQ(L"unchanged", cut);
}

TEST(Win32ProcessTest, LastErrorRoundTripsAndSystemTextsKeepTheirLineBreak) {
    process().setLastError(1234);
    EXPECT_EQ(1234u, process().lastError());

    std::wstring text;
    ASSERT_TRUE(process().formatSystemMessage(platform::kErrorFileNotFound, text));
    ASSERT_GT(text.size(), 2u);
    EXPECT_TRUE(endsWith(text, L"\r\n"));

    EXPECT_FALSE(process().formatSystemMessage(0x2000FFFFu, text));
    EXPECT_NE(0u, process().lastError());
}

TEST(Win32ClockTest, TicksCountHundredNanosecondsSince1601) {
    // 2020-01-01T00:00:00Z as a FILETIME.
    constexpr std::int64_t k2020 = 132223104000000000LL;
    const std::int64_t first = platform::nativeClock().nowTicks();
    const std::int64_t second = platform::nativeClock().nowTicks();
    EXPECT_GT(first, k2020);
    EXPECT_GE(second, first);
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const std::int64_t direct =
        (static_cast<std::int64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    EXPECT_GE(direct, second);
    EXPECT_LT(direct - second, 600LL * 10000000LL);
}

}  // namespace
