// The registry seam against a key that the test creates below HKLM.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tests/win32/win32_test_support.h"

namespace {

class Win32RegistryTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_path = L"SOFTWARE\\VornClientSeamTest-" + win32test::uniqueSuffix();
        const LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, m_path.c_str(), 0, nullptr, 0,
                                          KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        if (rc == ERROR_ACCESS_DENIED)
            GTEST_SKIP() << "no write access to HKLM";
        ASSERT_EQ(ERROR_SUCCESS, rc);
    }

    void TearDown() override {
        if (m_key == nullptr)
            return;
        ::RegCloseKey(m_key);
        ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_path.c_str());
    }

    void write(const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(ERROR_SUCCESS,
                  ::RegSetValueExW(m_key, name, 0, type, static_cast<const BYTE*>(data), size));
    }

    static platform::Registry& reg() { return platform::nativeRegistry(); }

    std::wstring m_path;
    HKEY m_key = nullptr;
};

TEST_F(Win32RegistryTest, LongTextIsReadAfterGrowingToTheReportedSize) {
    const std::wstring text(300, L'x');
    const DWORD bytes = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    write(L"Long", REG_SZ, text.c_str(), bytes);

    platform::RegKey key = 0;
    ASSERT_EQ(0, reg().openKey(m_path, key));
    std::vector<std::uint8_t> data(256, 0);
    std::uint32_t type = 0;
    std::uint32_t size = static_cast<std::uint32_t>(data.size());
    EXPECT_EQ(static_cast<long>(platform::kErrorMoreData),
              reg().queryValue(key, L"Long", type, data.data(), size));
    ASSERT_EQ(bytes, size);

    data.assign(size, 0);
    EXPECT_EQ(0, reg().queryValue(key, L"Long", type, data.data(), size));
    reg().closeKey(key);
    EXPECT_EQ(platform::kRegSz, type);
    ASSERT_EQ(bytes, size);
    EXPECT_EQ(0, std::memcmp(data.data(), text.c_str(), bytes));
}

TEST_F(Win32RegistryTest, DwordKeepsItsTypeAndLittleEndianBytes) {
    const DWORD value = 0x00011F90;
    write(L"Port", REG_DWORD, &value, sizeof(value));
    const wchar_t expand[] = L"%TEMP%";
    write(L"Expand", REG_EXPAND_SZ, expand, sizeof(expand));

    platform::RegKey key = 0;
    ASSERT_EQ(0, reg().openKey(m_path, key));
    std::uint8_t data[256] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof(data);
    ASSERT_EQ(0, reg().queryValue(key, L"Port", type, data, size));
    EXPECT_EQ(platform::kRegDword, type);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(0x90, data[0]);
    EXPECT_EQ(0x1F, data[1]);
    EXPECT_EQ(0x01, data[2]);

    size = sizeof(data);
    ASSERT_EQ(0, reg().queryValue(key, L"Expand", type, data, size));
    EXPECT_EQ(platform::kRegExpandSz, type);
    reg().closeKey(key);
}

TEST_F(Win32RegistryTest, MissingValueAndMissingKeyReportFileNotFound) {
    platform::RegKey key = 0;
    ASSERT_EQ(0, reg().openKey(m_path, key));
    std::uint8_t data[16] = {};
    std::uint32_t type = 0;
    std::uint32_t size = sizeof(data);
    EXPECT_EQ(static_cast<long>(platform::kErrorFileNotFound),
              reg().queryValue(key, L"Absent", type, data, size));
    reg().closeKey(key);

    platform::RegKey missing = 1;
    EXPECT_EQ(static_cast<long>(platform::kErrorFileNotFound),
              reg().openKey(m_path + L"\\Parameters", missing));
    EXPECT_EQ(0u, missing);
}

}  // namespace
