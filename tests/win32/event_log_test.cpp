// The event log seam: a reported message is found in the Application log
// with event id 1 and its text as the only insertion string.
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

}  // namespace
