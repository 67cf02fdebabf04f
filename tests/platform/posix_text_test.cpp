// The Linux text seam against the Windows conversion semantics.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "platform/errors.h"
#include "platform/platform.h"

namespace {

std::wstring units(std::u16string text) {
    return std::wstring(text.begin(), text.end());
}

std::wstring toWide(const std::string& bytes) {
    std::uint32_t error = 0;
    platform::Text& t = platform::nativeText();
    const int size = t.multiByteToWide(bytes.c_str(), nullptr, 0, error);
    std::wstring out(static_cast<std::size_t>(size), L'\0');
    EXPECT_EQ(t.multiByteToWide(bytes.c_str(), &out[0], size, error), size);
    EXPECT_EQ(out.back(), L'\0');
    out.pop_back();
    return out;
}

std::string toNarrow(const std::wstring& wide) {
    std::uint32_t error = 0;
    platform::Text& t = platform::nativeText();
    const int size = t.wideToMultiByte(wide.c_str(), nullptr, 0, error);
    std::string out(static_cast<std::size_t>(size), '\0');
    EXPECT_EQ(t.wideToMultiByte(wide.c_str(), &out[0], size, error), size);
    EXPECT_EQ(out.back(), '\0');
    out.pop_back();
    return out;
}

TEST(PosixText, SizesCountTheTerminatingNul) {
    platform::Text& t = platform::nativeText();
    std::uint32_t error = 0;
    EXPECT_EQ(t.wideToMultiByte(L"", nullptr, 0, error), 1);
    const std::wstring euro = units(u"\u20ac");
    EXPECT_EQ(t.wideToMultiByte(euro.c_str(), nullptr, 0, error), 4);
    EXPECT_EQ(t.multiByteToWide("\xF0\x9F\x98\x80", nullptr, 0, error), 3);
}

TEST(PosixText, TooSmallBufferFailsWithInsufficientBuffer) {
    platform::Text& t = platform::nativeText();
    std::uint32_t error = 0;
    char narrow[3] = {'#', '#', '#'};
    EXPECT_EQ(t.wideToMultiByte(L"abc", narrow, 3, error), 0);
    EXPECT_EQ(error, platform::kErrorInsufficientBuffer);
    wchar_t wide[4] = {};
    error = 0;
    EXPECT_EQ(t.multiByteToWide("abcd", wide, 4, error), 0);
    EXPECT_EQ(error, platform::kErrorInsufficientBuffer);
    EXPECT_EQ(t.multiByteToWide("abc", wide, 4, error), 4);
    EXPECT_EQ(std::wstring(wide), L"abc");
    EXPECT_EQ(t.wideToMultiByte(nullptr, nullptr, 0, error), 0);
    EXPECT_EQ(error, platform::kErrorInvalidParameter);
}

TEST(PosixText, WellFormedTextRoundTrips) {
    const std::wstring wide = units(u"\u0041\u00e9\u0800\uffff\U00010000\U0010FFFF");
    const std::string narrow = "A\xC3\xA9\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(toNarrow(wide), narrow);
    EXPECT_EQ(toWide(narrow), wide);
}

TEST(PosixText, EachIllFormedUtf8SubpartBecomesOneReplacement) {
    const std::wstring r = units(u"\uFFFD");
    EXPECT_EQ(toWide("\x80"), r);                          // stray continuation byte
    EXPECT_EQ(toWide("\xC0\xAF"), r + r);                  // overlong lead, then a stray byte
    EXPECT_EQ(toWide("\xE0\x80\x80"), r + r + r);          // overlong three-byte form
    EXPECT_EQ(toWide("\xED\xA0\x80"), r + r + r);          // an encoded surrogate
    EXPECT_EQ(toWide("\xF4\x90\x80\x80"), r + r + r + r);  // above U+10FFFF
    EXPECT_EQ(toWide("\xE2\x82"), r);                      // truncated at the end
    EXPECT_EQ(toWide("\xE2\x82x"), r + L"x");              // truncated before ASCII
    EXPECT_EQ(toWide("\xF0\x9F\x98"), r);
    EXPECT_EQ(toWide("\xFE\xFF"), r + r);
}

TEST(PosixText, LoneSurrogatesBecomeReplacementCharacters) {
    const std::string r = "\xEF\xBF\xBD";
    EXPECT_EQ(toNarrow(std::wstring{wchar_t(0xD83D)}), r);
    EXPECT_EQ(toNarrow(std::wstring{wchar_t(0xDE00), L'a'}), r + "a");
    EXPECT_EQ(toNarrow(std::wstring{wchar_t(0xD83D), wchar_t(0xD83D), wchar_t(0xDE00)}),
              r + "\xF0\x9F\x98\x80");
}

TEST(PosixText, FormatMessageGivesTheSystemTextWithALineBreak) {
    platform::Text& t = platform::nativeText();
    wchar_t buffer[1024] = {};
    const std::uint32_t n = t.formatMessage(platform::kWsaEConnRefused, buffer, 1024);
    const std::wstring text(buffer);
    ASSERT_GT(n, 2u);
    EXPECT_EQ(text.size(), n);
    EXPECT_EQ(text, L"Connection refused\r\n");

    ASSERT_GT(t.formatMessage(platform::kWsaHostNotFound, buffer, 1024), 2u);
    EXPECT_EQ(std::wstring(buffer).substr(std::wstring(buffer).size() - 2), L"\r\n");
    ASSERT_GT(t.formatMessage(platform::kErrorFileNotFound, buffer, 1024), 2u);
    EXPECT_EQ(std::wstring(buffer), L"No such file or directory\r\n");
}

TEST(PosixText, FormatMessageFailsForUnknownCodesAndTruncatesToCapacity) {
    platform::Text& t = platform::nativeText();
    wchar_t buffer[8] = {L'#', L'#', L'#', L'#', L'#', L'#', L'#', L'#'};
    EXPECT_EQ(t.formatMessage(0x2FFFFFFF, buffer, 8), 0u);
    EXPECT_EQ(t.formatMessage(platform::kWsaEConnRefused, buffer, 5), 4u);
    EXPECT_EQ(std::wstring(buffer), L"Conn");
    EXPECT_EQ(buffer[5], L'#');
    EXPECT_EQ(t.formatMessage(platform::kWsaEConnRefused, buffer, 0), 0u);
}

}  // namespace

#endif  // _WIN32
