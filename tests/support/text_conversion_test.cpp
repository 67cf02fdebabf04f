#include "support/text_conversion.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace {

std::wstring units(std::u16string text) {
    return std::wstring(text.begin(), text.end());
}

// A text seam whose calls fail on demand, or return a canned system text.
class ScriptedText : public platform::Text {
public:
    int wideToMultiByte(const wchar_t* source, char* out, int outSize,
                        std::uint32_t& error) override {
        ++m_calls;
        if (m_failOnCall == m_calls) {
            error = m_error;
            return 0;
        }
        return platform::nativeText().wideToMultiByte(source, out, outSize, error);
    }
    int multiByteToWide(const char* source, wchar_t* out, int outSize,
                        std::uint32_t& error) override {
        ++m_calls;
        if (m_failOnCall == m_calls) {
            error = m_error;
            return 0;
        }
        return platform::nativeText().multiByteToWide(source, out, outSize, error);
    }
    std::uint32_t formatMessage(std::uint32_t code, wchar_t* out, std::uint32_t capacity) override {
        m_formatCode = code;
        m_formatCapacity = capacity;
        if (m_message.empty())
            return 0;
        std::copy(m_message.begin(), m_message.end(), out);
        out[m_message.size()] = 0;
        return static_cast<std::uint32_t>(m_message.size());
    }

    int m_calls = 0;
    int m_failOnCall = 0;
    std::uint32_t m_error = 0;
    std::wstring m_message;
    std::uint32_t m_formatCode = 0;
    std::uint32_t m_formatCapacity = 0;
};

class TextConversionTest : public ::testing::Test {
protected:
    TextConversionTest() : m_scope(withScriptedText()) {}
    platform::Platform withScriptedText() {
        platform::Platform p = platform::current();
        p.text = &m_text;
        return p;
    }
    ScriptedText m_text;
    platform::ScopedPlatform m_scope;
};

TEST_F(TextConversionTest, EmptyTextConvertsWithoutAskingThePlatform) {
    m_text.m_failOnCall = 1;
    EXPECT_EQ(wideToUtf8(L""), "");
    EXPECT_EQ(utf8ToWide(""), L"");
    EXPECT_EQ(m_text.m_calls, 0);
}

TEST_F(TextConversionTest, SupplementaryCharactersSurviveTheRoundTrip) {
    // A, e acute, euro sign, U+1F600 (a surrogate pair).
    const std::wstring wide = units(u"A\u00e9\u20ac\U0001F600");
    ASSERT_EQ(wide.size(), 5u);
    const std::string narrow = wideToUtf8(wide);
    EXPECT_EQ(narrow, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_EQ(utf8ToWide(narrow), wide);
}

TEST_F(TextConversionTest, ConversionStopsAtAnEmbeddedNul) {
    EXPECT_EQ(wideToUtf8(std::wstring(L"ab\0cd", 5)), "ab");
    EXPECT_EQ(utf8ToWide(std::string("ab\0cd", 5)), L"ab");
}

TEST_F(TextConversionTest, IllFormedInputIsReplacedNotRefused) {
    EXPECT_EQ(utf8ToWide("a\xFF"
                         "b"),
              units(u"a\uFFFDb"));
    EXPECT_EQ(wideToUtf8(std::wstring{L'x', wchar_t(0xD800), L'y'}), "x\xEF\xBF\xBDy");
}

TEST_F(TextConversionTest, FailureOfEitherCallThrowsWithTheLastError) {
    for (int failing : {1, 2}) {
        m_text.m_calls = 0;
        m_text.m_failOnCall = failing;
        m_text.m_error = 1113;
        try {
            wideToUtf8(L"text");
            ADD_FAILURE() << "no exception";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "WideCharToMultiByte() failed, last error = 1113");
        }
        m_text.m_calls = 0;
        m_text.m_error = 4294967295u;
        try {
            utf8ToWide("text");
            ADD_FAILURE() << "no exception";
        } catch (const std::logic_error& e) {
            EXPECT_STREQ(e.what(), "MultiByteToWideChar() failed, last error = 4294967295");
        }
    }
}

TEST_F(TextConversionTest, SystemErrorTextKeepsOnlyTheFirstLine) {
    m_text.m_message = L"No connection could be made.\r\nSecond line\r\n";
    EXPECT_EQ(systemErrorText(10061), "No connection could be made.");
    EXPECT_EQ(m_text.m_formatCode, 10061u);
    EXPECT_EQ(m_text.m_formatCapacity, 1024u);

    m_text.m_message = L"no line break\nat all";
    EXPECT_EQ(systemErrorText(5), "no line break\nat all");
}

TEST_F(TextConversionTest, SystemErrorTextForACodeWithoutTextIsFixed) {
    m_text.m_message.clear();
    EXPECT_EQ(systemErrorText(0x7FFFFFFF), "INTERNAL ERROR: FormatMessage failed");
}

TEST(SplitString, PiecesBetweenDelimiters) {
    using V = std::vector<std::string>;
    EXPECT_EQ(splitString("S-1-5-32-544,BUILTIN,Administrators", ","),
              (V{"S-1-5-32-544", "BUILTIN", "Administrators"}));
    EXPECT_EQ(splitString("a,,b", ","), (V{"a", "", "b"}));
    EXPECT_EQ(splitString("a,b,", ","), (V{"a", "b"}));
    EXPECT_EQ(splitString(",", ","), (V{""}));
    EXPECT_EQ(splitString(",a", ","), (V{"", "a"}));
    EXPECT_EQ(splitString("", ","), V{});
    EXPECT_EQ(splitString("abc", ","), (V{"abc"}));
    EXPECT_EQ(splitString("a::b:c::", "::"), (V{"a", "b:c"}));
}

TEST(SplitString, EmptyDelimiterDoesNotLoop) {
    EXPECT_EQ(splitString("abc", ""), (std::vector<std::string>{"abc"}));
}

}  // namespace
