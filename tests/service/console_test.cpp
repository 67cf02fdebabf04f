// The console's last-error text and failure lines.
#include "service/console.h"
#include "tests/service/service_host_fixture.h"

namespace {

using ConsoleTest = ServiceHostTest;

std::wstring repeated(std::size_t n) {
    return std::wstring(n, L'x');
}

}  // namespace

TEST_F(ConsoleTest, LastErrorTextAppendsTheCodeInLowerCaseHex) {
    m_process.m_messages[0x2af9] = L"No such host is known.\r\n";
    m_process.setLastError(0x2af9);
    EXPECT_EQ(L"No such host is known. (0x2af9)", lastErrorText());

    m_process.setLastError(0xDEAD);  // no text for it
    EXPECT_EQ(L"", lastErrorText());

    m_process.m_messages[1] = L"x";  // too short to hold a line break
    m_process.setLastError(1);
    EXPECT_EQ(L" (0x1)", lastErrorText());
}

TEST_F(ConsoleTest, LastErrorTextKeepsMessagesUpTo242CharactersOnly) {
    m_process.m_messages[5] = repeated(240) + L"\r\n";  // 242 with the line break
    m_process.m_messages[6] = repeated(241) + L"\r\n";  // 243
    m_process.setLastError(5);
    EXPECT_EQ(repeated(240) + L" (0x5)", lastErrorText());
    m_process.setLastError(6);
    EXPECT_EQ(L"", lastErrorText());
}
