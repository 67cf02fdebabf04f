// The event log seam: a reported message is found in the Application log
// with event id 1 and its text as the only insertion string; a source's
// registration is written and removed.
#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

#include "platform/platform.h"
#include "tests/win32/win32_test_support.h"

namespace {

// Whether the newest records of the Application log hold one from `source`
// whose single string is `text`.
bool findRecord(const std::wstring& source, const std::wstring& text) {
    HANDLE log = ::OpenEventLogW(nullptr, L"Application");
    if (log == nullptr)
        return false;
    std::vector<BYTE> buffer(64 * 1024);
    bool found = false;
    for (int round = 0; round < 50 && !found; ++round) {
        DWORD read = 0, needed = 0;
        if (!::ReadEventLogW(log, EVENTLOG_SEQUENTIAL_READ | EVENTLOG_BACKWARDS_READ, 0,
                             buffer.data(), static_cast<DWORD>(buffer.size()), &read, &needed)) {
            break;
        }
        for (DWORD offset = 0; offset < read && !found;) {
            const auto* record = reinterpret_cast<const EVENTLOGRECORD*>(buffer.data() + offset);
            const auto* recordSource = reinterpret_cast<const wchar_t*>(record + 1);
            const auto* strings =
                reinterpret_cast<const wchar_t*>(buffer.data() + offset + record->StringOffset);
            found = source == recordSource && (record->EventID & 0xFFFF) == 1 &&
                    record->NumStrings == 1 && text == strings;
            offset += record->Length;
        }
    }
    ::CloseEventLog(log);
    return found;
}

TEST(Win32EventLogTest, MessageIsReportedVerbatim) {
    const std::wstring source = L"VornClientSeamTest";
    const std::wstring text = L"seam test " + win32test::uniqueSuffix() + L", 100% %1 %n";
    platform::nativeEventLog().report(source, platform::kEventWarning, text);
    if (win32test::underCompatibilityLayer()) {
        GTEST_SKIP() << "the event log cannot be read back here";
    }
    EXPECT_TRUE(findRecord(source, text));
}

TEST(Win32EventLogTest, SourceRegistrationNamesTheMessageFileAndIsRemoved) {
    const std::wstring source = L"VornClientSeamTest-" + win32test::uniqueSuffix();
    const std::wstring key =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    platform::EventLog& log = platform::nativeEventLog();
    const std::uint32_t registered = log.registerSource(source, L"C:\\Seam Test\\vornclient.exe");
    if (registered == ERROR_ACCESS_DENIED)
        GTEST_SKIP() << "needs administrator rights";
    ASSERT_EQ(0u, registered);

    wchar_t path[MAX_PATH] = {};
    DWORD size = sizeof(path);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile",
                                            RRF_RT_REG_SZ, nullptr, path, &size));
    EXPECT_EQ(std::wstring(L"C:\\Seam Test\\vornclient.exe"), path);
    DWORD types = 0;
    size = sizeof(types);
    EXPECT_EQ(ERROR_SUCCESS, ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"TypesSupported",
                                            RRF_RT_REG_DWORD, nullptr, &types, &size));
    EXPECT_EQ(7u, types);  // error, warning and information

    EXPECT_EQ(0u, log.removeSource(source));
    HKEY gone = nullptr;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND,
              ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &gone));
    EXPECT_EQ(0u, log.removeSource(source)) << "an absent source is no error";
}

}  // namespace
