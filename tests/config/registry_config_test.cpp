#include "config/registry_config.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>

#include "platform/platform.h"
#include "tests/fakes/fake_registry.h"
#include "tests/fakes/platform_fixture.h"

namespace {

const char* const kKeyPath = "SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters";

class RegistryConfigTest : public ::testing::Test {
protected:
    RegistryConfigTest() : m_scope(withFakeRegistry()) {}

    platform::Platform withFakeRegistry() {
        platform::Platform p = platform::current();
        p.registry = &m_registry;
        return p;
    }

    void expectOnlyMessage(const std::string& text) {
        ASSERT_EQ(m_recording.log().events().size(), 1u);
        EXPECT_EQ(m_recording.log().narrowTexts()[0], text);
        EXPECT_EQ(m_recording.log().events()[0].type, platform::kEventError);
        EXPECT_EQ(m_recording.log().events()[0].source, L"VornClient");
    }

    RecordingPlatform m_recording;
    FakeRegistry m_registry;
    platform::ScopedPlatform m_scope;
};

TEST_F(RegistryConfigTest, OpensTheParametersKeyBelowTheServiceKey) {
    EXPECT_EQ(parametersKeyPath(), std::wstring(kKeyPath, kKeyPath + std::strlen(kKeyPath)));
    platform::RegKey key = 0;
    ASSERT_TRUE(regOpenKey(key));
    EXPECT_NE(key, 0u);
    platform::registry().closeKey(key);
    ASSERT_EQ(m_registry.m_openedPaths.size(), 1u);
    EXPECT_EQ(m_registry.m_openedPaths[0], parametersKeyPath());
    EXPECT_TRUE(m_recording.log().events().empty());
}

TEST_F(RegistryConfigTest, FailedOpenIsLoggedWithTheCodeAndTheReaderLeavesTheValue) {
    m_registry.m_openError = 5;
    std::wstring text = L"unchanged";
    EXPECT_FALSE(getConfigWstringValue(L"OrganizationName", text));
    EXPECT_EQ(text, L"unchanged");
    expectOnlyMessage(std::string("regOpenKey(), failed to open registry key HKLM\\") + kKeyPath +
                      ", error = 5");
    EXPECT_TRUE(m_registry.m_offeredSizes.empty());
}

TEST_F(RegistryConfigTest, StringWithAndWithoutTerminatingNulReadsTheSame) {
    m_registry.setString(L"WithNul", L"example.org", true);
    m_registry.setString(L"WithoutNul", L"example.org", false);
    std::wstring a, b;
    ASSERT_TRUE(getConfigWstringValue(L"WithNul", a));
    ASSERT_TRUE(getConfigWstringValue(L"WithoutNul", b));
    EXPECT_EQ(a, L"example.org");
    EXPECT_EQ(b, L"example.org");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
    EXPECT_TRUE(m_recording.log().events().empty());
}

TEST_F(RegistryConfigTest, StringEndsAtFirstNulAndIgnoresAnOddLastByte) {
    m_registry.setValue(L"Embedded", platform::kRegSz, {'a', 0, 'b', 0, 0, 0, 'c', 0});
    m_registry.setValue(L"Odd", platform::kRegSz, {'x', 0, 'y', 0, 'z'});
    m_registry.setValue(L"Empty", platform::kRegSz, {});
    std::wstring text;
    ASSERT_TRUE(getConfigWstringValue(L"Embedded", text));
    EXPECT_EQ(text, L"ab");
    ASSERT_TRUE(getConfigWstringValue(L"Odd", text));
    EXPECT_EQ(text, L"xy");
    text = L"previous";
    ASSERT_TRUE(getConfigWstringValue(L"Empty", text));
    EXPECT_EQ(text, L"");
}

TEST_F(RegistryConfigTest, LongValueIsReadWholeAfterOneRetryWithTheReportedSize) {
    std::wstring longText(300, L'q');
    longText[299] = L'z';
    m_registry.setString(L"Long", longText);
    std::wstring text;
    ASSERT_TRUE(getConfigWstringValue(L"Long", text));
    EXPECT_EQ(text, longText);
    EXPECT_EQ(m_registry.m_offeredSizes, (std::vector<std::uint32_t>{256, 602}));
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
}

TEST_F(RegistryConfigTest, ValueOfExactly256BytesNeedsNoRetry) {
    m_registry.setValue(L"Exact", platform::kRegSz, std::vector<std::uint8_t>(256, 'a'));
    std::wstring text;
    ASSERT_TRUE(getConfigWstringValue(L"Exact", text));
    EXPECT_EQ(text.size(), 128u);
    EXPECT_EQ(m_registry.m_offeredSizes, (std::vector<std::uint32_t>{256}));
}

TEST_F(RegistryConfigTest, MissingValueLogsErrorTwoAndClosesTheKey) {
    std::wstring text = L"keep";
    EXPECT_FALSE(getConfigWstringValue(L"OrganizationName", text));
    EXPECT_EQ(text, L"keep");
    expectOnlyMessage(
        "getConfigWstringValue(), failed to read registry value OrganizationName, error = 2");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);

    m_recording.log().clear();
    std::uint32_t number = 7;
    EXPECT_FALSE(getConfigUint32Value(L"ListenPort", number));
    EXPECT_EQ(number, 7u);
    expectOnlyMessage(
        "getConfigUint32Value(), failed to read registry value ListenPort, error = 2");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
}

TEST_F(RegistryConfigTest, QueryErrorCodeIsPrintedSigned) {
    m_registry.setDword(L"SocketTimeout", 1);
    m_registry.m_queryError = -3;
    std::uint32_t number = 0;
    EXPECT_FALSE(getConfigUint32Value(L"SocketTimeout", number));
    expectOnlyMessage(
        "getConfigUint32Value(), failed to read registry value SocketTimeout, error = -3");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
}

TEST_F(RegistryConfigTest, WrongTypesAreRejectedWithTheTypeFound) {
    m_registry.setValue(L"Expand", platform::kRegExpandSz, {'a', 0, 0, 0});
    m_registry.setString(L"Text", L"8080");
    std::wstring text = L"keep";
    EXPECT_FALSE(getConfigWstringValue(L"Expand", text));
    EXPECT_EQ(text, L"keep");
    expectOnlyMessage(
        "getConfigWstringValue(), registry value Expand, has the wrong type, expected REG_SZ, "
        "got 2");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);

    m_recording.log().clear();
    std::uint32_t number = 9;
    EXPECT_FALSE(getConfigUint32Value(L"Text", number));
    EXPECT_EQ(number, 9u);
    expectOnlyMessage(
        "getConfigUint32Value(), registry value Text, has the wrong type, expected REG_DWORD, "
        "got 1");
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
}

TEST_F(RegistryConfigTest, DwordIsLittleEndianAndShortDataIsZeroPadded) {
    m_registry.setDword(L"ListenPort", 0x00011F90);
    m_registry.setValue(L"Short", platform::kRegDword, {0x34, 0x12});
    m_registry.setValue(L"Long", platform::kRegDword, {1, 0, 0, 0, 0xFF, 0xFF});
    std::uint32_t number = 0;
    ASSERT_TRUE(getConfigUint32Value(L"ListenPort", number));
    EXPECT_EQ(number, 0x00011F90u);
    ASSERT_TRUE(getConfigUint32Value(L"Short", number));
    EXPECT_EQ(number, 0x1234u);
    ASSERT_TRUE(getConfigUint32Value(L"Long", number));
    EXPECT_EQ(number, 1u);
}

TEST(PortFromText, FollowsTheStringToIntRules) {
    EXPECT_EQ(portFromText(L"1080"), 1080);
    EXPECT_EQ(portFromText(L"1080x"), 1080);
    EXPECT_EQ(portFromText(L" \t+443 trailing"), 443);
    EXPECT_EQ(portFromText(L"0x50"), 0);
    EXPECT_EQ(portFromText(L"65536"), 0);
    EXPECT_EQ(portFromText(L"65537"), 1);
    EXPECT_EQ(portFromText(L"-1"), 65535);
    EXPECT_EQ(portFromText(L"2147483647"), 65535);
    EXPECT_EQ(portFromText(L"-2147483648"), 0);
    EXPECT_EQ(portFromText(L"000000000000000000000001080"), 1080);
}

TEST(PortFromText, TextWithoutANumberIsAnInvalidArgument) {
    // U+0661 is a digit elsewhere, but not for the standard conversion.
    const std::wstring arabicOne(1, wchar_t(0x0661));
    for (const std::wstring& text :
         {std::wstring(), std::wstring(L" "), std::wstring(L"x1080"), std::wstring(L"-"),
          std::wstring(L"+ 1"), std::wstring(L"--1"), arabicOne}) {
        try {
            portFromText(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "invalid stoi argument");
        }
    }
}

TEST(PortFromText, NumberOutsideTheIntRangeIsOutOfRange) {
    for (const wchar_t* text :
         {L"2147483648", L"-2147483649", L"99999999999999999999999999", L"  -99999999999x"}) {
        try {
            portFromText(text);
            ADD_FAILURE() << "no exception";
        } catch (const std::out_of_range& e) {
            EXPECT_STREQ(e.what(), "stoi argument out of range");
        }
    }
}

}  // namespace
