// The identity seam with this process's own token (a session's user token
// needs the service's privileges), well-known SIDs and damaged buffers.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"

namespace {

using platform::Sid;
using platform::Token;

platform::Identity& identity() {
    return platform::nativeIdentity();
}

// S-1-5-18, the local system account.
const Sid kLocalSystem = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};

// Reads one token information class the way its users do: size query,
// then grow until it fits.
std::vector<std::uint8_t> tokenInfo(Token token, std::uint32_t infoClass) {
    std::vector<std::uint8_t> buffer;
    std::uint32_t returned = 0;
    std::uint32_t rc = identity().getTokenInformation(token, infoClass, nullptr, 0, returned);
    EXPECT_EQ(platform::kErrorInsufficientBuffer, rc);
    for (int round = 0; round < 10 && rc == platform::kErrorInsufficientBuffer; ++round) {
        buffer.assign(returned, 0);
        rc = identity().getTokenInformation(token, infoClass, buffer.data(),
                                            static_cast<std::uint32_t>(buffer.size()), returned);
    }
    EXPECT_EQ(0u, rc);
    buffer.resize(returned);
    return buffer;
}

class Win32OwnTokenTest : public ::testing::Test {
protected:
    void SetUp() override {
        HANDLE process = nullptr;
        ASSERT_TRUE(
            ::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, &process));
        m_token = reinterpret_cast<Token>(process);
        ASSERT_EQ(0u, identity().duplicateToken(m_token, m_duplicate));
        ASSERT_NE(platform::kInvalidToken, m_duplicate);
    }
    void TearDown() override {
        identity().closeToken(m_duplicate);
        identity().closeToken(m_token);
    }

    Token m_token = platform::kInvalidToken;
    Token m_duplicate = platform::kInvalidToken;
};

TEST_F(Win32OwnTokenTest, UserSidNamesTheCurrentUser) {
    const std::vector<std::uint8_t> info = tokenInfo(m_duplicate, platform::kTokenUser);
    Sid user;
    ASSERT_TRUE(identity().tokenUserSid(info, user));
    std::wstring text;
    ASSERT_TRUE(identity().sidToString(user, text));
    EXPECT_EQ(0u, text.rfind(L"S-1-", 0)) << "got a SID text of " << text.size() << " units";

    std::wstring name, domain;
    ASSERT_EQ(0u, identity().lookupAccountSid(user, 256, name, domain));
    wchar_t expected[256] = {};
    DWORD length = 256;
    ASSERT_TRUE(::GetUserNameW(expected, &length));
    EXPECT_EQ(std::wstring(expected), name);
}

TEST_F(Win32OwnTokenTest, EveryGroupOfTheTokenIsCopiedOut) {
    const std::vector<std::uint8_t> info = tokenInfo(m_duplicate, platform::kTokenGroups);
    std::vector<Sid> groups;
    ASSERT_TRUE(identity().tokenGroupSids(info, groups));
    DWORD count = 0;
    std::memcpy(&count, info.data(), sizeof(count));
    ASSERT_EQ(count, groups.size());
    for (const Sid& sid : groups) {
        std::wstring text;
        EXPECT_TRUE(identity().sidToString(sid, text));
        EXPECT_EQ(0u, text.rfind(L"S-1-", 0));
    }
}

TEST_F(Win32OwnTokenTest, SidsPointingOutsideTheBufferAreRejected) {
    const std::vector<std::uint8_t> info = tokenInfo(m_duplicate, platform::kTokenUser);
    Sid user;
    // A copy keeps the pointers into the original buffer: they must not be
    // followed.
    const std::vector<std::uint8_t> moved(info);
    EXPECT_FALSE(identity().tokenUserSid(moved, user));
    // Cut inside the SID.
    std::vector<std::uint8_t> cut(info);
    cut.resize(sizeof(TOKEN_USER) + 4);
    EXPECT_FALSE(identity().tokenUserSid(cut, user));
    EXPECT_FALSE(identity().tokenUserSid(std::vector<std::uint8_t>(4, 0), user));

    std::vector<std::uint8_t> groups = tokenInfo(m_duplicate, platform::kTokenGroups);
    const DWORD tooMany = 0x10000000;
    std::memcpy(groups.data(), &tooMany, sizeof(tooMany));
    std::vector<Sid> sids;
    EXPECT_FALSE(identity().tokenGroupSids(groups, sids));
}

TEST(Win32IdentityTest, WellKnownSidConvertsAndResolves) {
    std::wstring text;
    ASSERT_TRUE(identity().sidToString(kLocalSystem, text));
    EXPECT_EQ(L"S-1-5-18", text);
    std::wstring name, domain;
    ASSERT_EQ(0u, identity().lookupAccountSid(kLocalSystem, 256, name, domain));
    EXPECT_EQ(L"SYSTEM", name);
    EXPECT_EQ(L"NT AUTHORITY", domain);
    // "SYSTEM" and its NUL do not fit in four units.
    EXPECT_EQ(platform::kErrorInsufficientBuffer,
              identity().lookupAccountSid(kLocalSystem, 4, name, domain));
}

TEST(Win32IdentityTest, MalformedSidsAreRefusedBeforeTheSystemSeesThem) {
    Sid shortSid(kLocalSystem.begin(), kLocalSystem.end() - 1);
    Sid wrongRevision = kLocalSystem;
    wrongRevision[0] = 2;
    std::wstring text, name, domain;
    for (const Sid& bad : {Sid(), shortSid, wrongRevision}) {
        EXPECT_FALSE(identity().sidToString(bad, text));
        EXPECT_NE(0u, identity().lookupAccountSid(bad, 256, name, domain));
    }
}

// The session of a socket's owner: this process's own, asked for with a
// time after its start; a process that started after the given time (a
// connection accepted before it existed) and no process at all fail.
TEST(Win32IdentityTest, SessionOfAnOwnerThatWasThereAtTheAccept) {
    const std::int64_t now = platform::nativeClock().nowTicks();
    std::uint32_t session = 0xFFFFFFFF;
    ASSERT_EQ(0u, identity().ownerSessionId(::GetCurrentProcessId(), now, session));
    DWORD expected = 0;
    ASSERT_TRUE(::ProcessIdToSessionId(::GetCurrentProcessId(), &expected));
    EXPECT_EQ(expected, session);

    FILETIME created, exited, kernel, user;
    ASSERT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user));
    const std::int64_t started = static_cast<std::int64_t>(
        (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime);
    session = 0xFFFFFFFF;
    EXPECT_EQ(87u, identity().ownerSessionId(::GetCurrentProcessId(), started - 1, session));
    // Process ids are multiples of four; this one cannot exist. Process 0
    // owns the rows of closed sockets.
    EXPECT_NE(0u, identity().ownerSessionId(0xFFFFFFF3u, now, session));
    EXPECT_EQ(87u, identity().ownerSessionId(0, now, session));
    EXPECT_EQ(0xFFFFFFFFu, session);
}

}  // namespace
