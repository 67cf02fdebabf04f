// The text seam: UTF-8 conversions in both directions and system texts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tests/win32/win32_test_support.h"

namespace {

platform::Text& text() {
    return platform::nativeText();
}

TEST(Win32TextTest, ConvertsBothWaysIncludingSurrogatePairs) {
    // A, e acute, euro sign, and U+1F600 as a surrogate pair.
    const std::wstring wide = win32test::wide(u"A\u00E9\u20AC\U0001F600");
    ASSERT_EQ(5u, wide.size());
    const std::string utf8 = "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";

    std::uint32_t error = 1;
    const int bytes = text().wideToMultiByte(wide.c_str(), nullptr, 0, error);
    ASSERT_EQ(static_cast<int>(utf8.size()) + 1, bytes);
    std::vector<char> narrow(bytes, '\0');
    ASSERT_EQ(bytes, text().wideToMultiByte(wide.c_str(), narrow.data(), bytes, error));
    EXPECT_EQ(utf8, std::string(narrow.data()));

    const int units = text().multiByteToWide(utf8.c_str(), nullptr, 0, error);
    ASSERT_EQ(6, units);
    std::vector<wchar_t> back(units, L'\0');
    ASSERT_EQ(units, text().multiByteToWide(utf8.c_str(), back.data(), units, error));
    EXPECT_EQ(wide, std::wstring(back.data()));
}

TEST(Win32TextTest, SystemTextForWinsockCodeEndsWithLineBreak) {
    wchar_t buffer[1024] = {};
    const std::uint32_t n = text().formatMessage(platform::kWsaEConnRefused, buffer, 1024);
    ASSERT_GT(n, 2u);
    const std::wstring message(buffer, n);
    // One line, ended by the line break that callers cut off.
    EXPECT_EQ(message.size() - 2, message.find(L"\r\n"));
}

TEST(Win32TextTest, CodeWithoutSystemTextFails) {
    wchar_t buffer[1024] = {};
    EXPECT_EQ(0u, text().formatMessage(0x2000FFFFu, buffer, 1024));
}

}  // namespace
