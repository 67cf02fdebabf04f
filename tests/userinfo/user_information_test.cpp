#include "userinfo/user_information.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/errors.h"
#include "tests/userinfo/session_fixture.h"

using namespace sessions;

namespace {

class UserInformationTest : public ::testing::Test {
protected:
    void SetUp() override {
        addDirectory(m_platform.identity);
        m_info = std::make_unique<UserInformation>();
        m_platform.log().clear();
    }

    std::vector<std::string> messages() { return m_platform.messages(); }

    UserinfoPlatform m_platform;
    std::unique_ptr<UserInformation> m_info;
};

TEST(UserInformationConstruction, CreatesTheDataFolderAndReadsTheMappings) {
    UserinfoPlatform platform;
    UserInformation info;
    EXPECT_EQ(info.dataDir(), platform.files.dataDir());
    EXPECT_TRUE(std::filesystem::is_directory(platform.files.dataDir()));
    // First start: no file yet, which is no failure.
    EXPECT_TRUE(platform.messages().empty());
}

TEST(UserInformationConstruction, MissingKnownFolderLeavesBarePaths) {
    UserinfoPlatform platform;
    platform.files.m_programDataResult = static_cast<std::int32_t>(0x80070002u);
    UserInformation info;
    EXPECT_TRUE(info.dataDir().empty());
    const auto messages = platform.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0],
              "UserInformation::UserInformation(), SHGetKnownFolderPath() failed, hresult = "
              "-2147024894");
    EXPECT_EQ(messages[1],
              "UserInformation::readGroupMappingsFromDisk(), failed to open group mappings file "
              "for reading");
    const std::string sep(1, static_cast<char>(platform.files.separator()));
    EXPECT_EQ(platform.files.operations(),
              std::vector<std::string>{"open-read " + sep + "group_mappings.txt"});
}

TEST(UserInformationConstruction, FolderCreationResults) {
    for (int result : {80, 183}) {
        UserinfoPlatform platform;
        platform.files.m_createDirectoryResult = result;
        UserInformation info;
        EXPECT_EQ(platform.log().count("SHCreateDirectory"), 0u) << result;
    }
    UserinfoPlatform platform;
    platform.files.m_createDirectoryResult = 5;
    UserInformation info;
    EXPECT_EQ(info.dataDir(), platform.files.dataDir());
    ASSERT_FALSE(platform.messages().empty());
    EXPECT_EQ(platform.messages()[0],
              "UserInformation::UserInformation(), SHCreateDirectory() failed, error = 5");
}

TEST_F(UserInformationTest, FreshReadCarriesEveryTokenGroupThenCacheOnlyDomainGroups) {
    UserInfo info;
    ASSERT_TRUE(userInfoOfOwner(*m_info, kAlicePid, info));
    EXPECT_EQ(info.domain, L"CORP");
    EXPECT_EQ(info.name, L"alice");
    EXPECT_EQ(info.sid, kAliceSid);
    const std::vector<AccountInfo> fresh{
        account(L"", L"Everyone", kEveryone), account(L"CORP", L"Domain Users", kDomainUsers),
        account(L"BUILTIN", L"Users", kBuiltinUsers), account(L"", L"", kLogonId),
        account(L"CORP", L"Staff", kStaff)};
    EXPECT_EQ(info.groups, fresh);
    EXPECT_EQ(m_platform.identity.tokenQueries(), 1);

    ASSERT_TRUE(userInfoOfOwner(*m_info, kAlicePid, info));
    EXPECT_EQ(info.name, L"alice");
    const std::vector<AccountInfo> cached{account(L"CORP", L"Domain Users", kDomainUsers),
                                          account(L"CORP", L"Staff", kStaff)};
    EXPECT_EQ(info.groups, cached);
    EXPECT_EQ(m_platform.identity.tokenQueries(), 1);  // no second token read

    // Every group with a domain and a name is mapped, whatever its prefix.
    const auto mappings = m_info->groupMappings();
    EXPECT_EQ(mappings.size(), 3u);
    EXPECT_EQ(mappings.count(kBuiltinUsers), 1u);
    EXPECT_EQ(mappings.count(kEveryone), 0u);
    EXPECT_EQ(m_platform.identity.openTokens(), 0);
    EXPECT_EQ(m_platform.identity.badCloses(), 0);
}

TEST_F(UserInformationTest, CachedGroupWithoutMappingIsUnnamed) {
    UserInfo fresh;
    fresh.domain = L"CORP";
    fresh.name = L"carol";
    fresh.sid = L"S-1-5-21-9-1";
    fresh.groups = {account(L"", L"", L"S-1-5-21-9-700"), account(L"CORP", L"", L"S-1-5-21-9-701")};
    m_info->updateCache(7, fresh);
    UserInfo info;
    ASSERT_TRUE(m_info->getCachedUserInfoFromSessionId(7, info));
    EXPECT_EQ(info.groups, (std::vector<AccountInfo>{account(L"", L"", L"S-1-5-21-9-700"),
                                                     account(L"", L"", L"S-1-5-21-9-701")}));
    EXPECT_EQ(m_platform.files.writeOpens(), 0);  // nothing mapped, nothing written
}

TEST_F(UserInformationTest, SessionZeroIsTheServicesIdentityWithoutTouchingTheCache) {
    UserInfo info;
    info.name = L"stale";
    info.groups.push_back(account(L"x", L"y", L"z"));
    ASSERT_TRUE(userInfoOfOwner(*m_info, kSystemPid, info));
    EXPECT_EQ(info.domain, L"NT AUTHORITY");
    EXPECT_EQ(info.name, L"SYSTEM");
    EXPECT_TRUE(info.sid.empty());
    EXPECT_TRUE(info.groups.empty());

    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(0, info));
    EXPECT_EQ(info.name, L"SYSTEM");
    m_info->updateCache(0, info);
    EXPECT_EQ(m_platform.identity.tokenQueries(), 0);
    EXPECT_TRUE(m_info->sessions().empty());
    EXPECT_TRUE(m_info->userGroupSids().empty());
    EXPECT_TRUE(messages().empty());
}

TEST_F(UserInformationTest, ProcessWithoutSessionIsReported) {
    m_platform.identity.failProcess(300, platform::kErrorInvalidParameter);
    UserInfo info;
    info.name = L"stale";
    EXPECT_FALSE(userInfoOfOwner(*m_info, 300, info));
    EXPECT_TRUE(info.name.empty());
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "UserInformation::sessionIdOfOwner(), failed to get session id "
                              "for process, last error = 87"});
}

TEST_F(UserInformationTest, MissingTokenIsAWarningOtherTokenErrorsAreErrors) {
    for (std::uint32_t error : {platform::kErrorFileNotFound, platform::kErrorNoToken}) {
        m_platform.clock().advanceSeconds(1);  // one such message a second
        FakeIdentity::Session gone;
        gone.tokenError = error;
        m_platform.identity.setSession(5, gone);
        m_platform.log().clear();
        UserInfo info;
        EXPECT_FALSE(m_info->getLatestUserInfoFromSessionId(5, info));
        const auto events = m_platform.log().events();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].type, kEventTypeWarning);
        EXPECT_EQ(messages()[0], "Failed to get user token for session id 5, last error = " +
                                     std::to_string(error) +
                                     "\n(This might be normal; did someone just log out?)");
    }

    FakeIdentity::Session denied;
    denied.tokenError = platform::kErrorAccessDenied;
    m_platform.identity.setSession(5, denied);
    m_platform.log().clear();
    UserInfo info;
    EXPECT_FALSE(m_info->getLatestUserInfoFromSessionId(5, info));
    EXPECT_EQ(m_platform.types(), std::vector<std::uint16_t>{kEventTypeError});
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "UserInformation::getLatestUserInfoFromSessionId(), failed to get "
                              "user token for session id 5, last error = 5"});
    EXPECT_TRUE(m_info->sessions().empty());
    EXPECT_EQ(m_platform.identity.badCloses(), 0);
}

TEST_F(UserInformationTest, TokenReadFailuresLeaveTheCacheUntouchedAndCloseTokens) {
    struct Case {
        void (*script)(FakeIdentity::Session&);
        std::string message;
        bool userKept;
    };
    const std::vector<Case> cases{
        {[](FakeIdentity::Session& s) { s.duplicateError = platform::kErrorAccessDenied; },
         "UserInformation::getLatestUserInfoFromSessionId(), failed to duplicate token, last "
         "error = 5",
         false},
        {[](FakeIdentity::Session& s) { s.userInfoError = platform::kErrorAccessDenied; },
         "UserInformation::getInformationFromToken(), failed to get information (info = 1), "
         "error = 5",
         false},
        {[](FakeIdentity::Session& s) { s.groupsInfoError = platform::kErrorInvalidHandle; },
         "UserInformation::getInformationFromToken(), failed to get information (info = 2), "
         "error = 6",
         true},
    };
    for (const Case& c : cases) {
        FakeIdentity::Session alice;
        alice.userSid = kAliceSid;
        alice.groupSids = {kStaff};
        c.script(alice);
        m_platform.identity.setSession(1, alice);
        m_platform.log().clear();

        UserInfo info;
        info.groups.push_back(account(L"x", L"y", L"z"));
        EXPECT_FALSE(userInfoOfOwner(*m_info, kAlicePid, info));
        EXPECT_EQ(messages(), std::vector<std::string>{c.message});
        EXPECT_EQ(info.name, c.userKept ? L"alice" : L"");
        EXPECT_EQ(info.sid, c.userKept ? kAliceSid : L"");
        EXPECT_TRUE(info.groups.empty());
        EXPECT_TRUE(m_info->sessions().empty());
        EXPECT_TRUE(m_info->groupMappings().empty());
        EXPECT_EQ(m_platform.identity.openTokens(), 0);
        EXPECT_EQ(m_platform.identity.badCloses(), 0);
    }
}

TEST_F(UserInformationTest, UserNameTooLongForTheLookupBuffersFails) {
    m_platform.identity.addAccount(kAliceSid, L"CORP", std::wstring(256, L'a'));
    UserInfo info;
    EXPECT_FALSE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_TRUE(info.domain.empty() && info.name.empty() && info.sid.empty());
    EXPECT_EQ(messages(),
              std::vector<std::string>{"UserInformation::getLatestUserInfoFromSessionId(), "
                                       "LookupAccountSid() failed, last error = 122"});
    EXPECT_EQ(m_platform.identity.openTokens(), 0);

    // 255 units plus the terminating NUL still fit.
    m_platform.identity.addAccount(kAliceSid, L"CORP", std::wstring(255, L'a'));
    EXPECT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(info.name.size(), 255u);
}

TEST_F(UserInformationTest, UnresolvableGroupsKeepTheirSidSilently) {
    m_platform.identity.addAccount(kStaff, std::wstring(300, L'd'), L"Staff");
    m_platform.identity.failLookup(kDomainUsers, platform::kErrorAccessDenied);
    m_platform.identity.failSidToString(kBuiltinUsers);
    UserInfo info;
    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(info.groups, (std::vector<AccountInfo>{
                               account(L"", L"Everyone", kEveryone),
                               account(L"", L"", kDomainUsers), account(L"BUILTIN", L"Users", L""),
                               account(L"", L"", kLogonId), account(L"", L"", kStaff)}));
    EXPECT_TRUE(messages().empty());
    // A group without a SID text neither enters the user's list nor the mappings.
    EXPECT_TRUE(m_info->groupMappings().empty());
    EXPECT_EQ(m_info->userGroupSids().begin()->second,
              (std::vector<std::wstring>{kDomainUsers, kStaff}));
}

TEST_F(UserInformationTest, TokenInformationThatGrowsIsFetchedAgain) {
    m_platform.identity.growTokenInformation(3);
    UserInfo info;
    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(info.groups.size(), 5u);
    // The first class needs the size query plus three more rounds; the second two calls.
    EXPECT_EQ(m_platform.identity.tokenInformationCalls(), 4 + 2);
}

TEST_F(UserInformationTest, UnparsableTokenInformationIsAFailure) {
    m_platform.identity.corruptTokenInformation(true);
    UserInfo info;
    EXPECT_FALSE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(m_platform.log().count("failed to get information (info = 1), error = 13"), 1u);
    EXPECT_TRUE(m_info->sessions().empty());
    EXPECT_EQ(m_platform.identity.openTokens(), 0);
}

TEST_F(UserInformationTest, EnumerationCachesActiveAndDisconnectedSessionsOnly) {
    FakeIdentity::Session listener;  // WTSListen: never read
    listener.state = 6;
    listener.userSid = kBobSid;
    m_platform.identity.setSession(65536, listener);
    FakeIdentity::Session console;  // session 0 is never cached
    m_platform.identity.setSession(0, console);
    FakeIdentity::Session bob;
    bob.state = platform::kWtsDisconnected;
    bob.userSid = kBobSid;
    bob.groupSids = {kDomainUsers, kSales};
    m_platform.identity.setSession(2, bob);
    FakeIdentity::Session gone;
    gone.tokenError = platform::kErrorNoToken;
    m_platform.identity.setSession(3, gone);

    m_info->enumerateSessions();
    EXPECT_EQ(m_platform.identity.queriedSessions(), (std::vector<std::uint32_t>{1, 2, 3}));
    const auto cached = m_info->sessions();
    ASSERT_EQ(cached.size(), 2u);
    EXPECT_EQ(cached.at(1), account(L"CORP", L"alice", kAliceSid));
    EXPECT_EQ(cached.at(2), account(L"CORP", L"bob", kBobSid));
    EXPECT_EQ(m_platform.log().count("adding it now"), 0u);

    // After the pass, sessions that appear are reported.
    FakeIdentity::Session late;
    late.userSid = kBobSid;
    m_platform.identity.setSession(4, late);
    m_info->onSessionChange(platform::SessionNotification{8, 4}, platform::kWtsSessionLogon);
    EXPECT_EQ(m_platform.log().count("UserInformation::updateCache()session id 4 not found in "
                                     "m_sessIdToUser, adding it now"),
              1u);
    ASSERT_FALSE(m_platform.log().events().empty());
    EXPECT_EQ(m_platform.log().events().back().type, kEventTypeInformation);
}

TEST_F(UserInformationTest, FailedEnumerationKeepsAdditionsQuiet) {
    m_platform.identity.failEnumeration(platform::kErrorAccessDenied);
    m_info->enumerateSessions();
    EXPECT_EQ(messages(),
              std::vector<std::string>{"UserInformation::enumerateSessions(), "
                                       "WTSEnumerateSessions() failed, last error = 5"});
    UserInfo info;
    ASSERT_TRUE(userInfoOfOwner(*m_info, kAlicePid, info));  // fresh path still works
    EXPECT_EQ(m_platform.log().count("adding it now"), 0u);
}

TEST_F(UserInformationTest, LogoffDropsTheSessionAndTheNextConnectionReadsAfresh) {
    m_info->enumerateSessions();
    UserInfo info;
    const platform::SessionNotification alice{8, 1};
    m_info->onSessionChange(alice, 7);  // a lock: nothing happens
    EXPECT_EQ(m_info->sessions().count(1), 1u);

    m_info->onSessionChange(alice, platform::kWtsSessionLogoff);
    EXPECT_EQ(m_info->sessions().count(1), 0u);
    EXPECT_EQ(m_info->userGroupSids().size(), 2u);  // lists and mappings stay
    EXPECT_EQ(m_info->groupMappings().size(), 4u);

    // The token is gone too: the connection fails with the warning.
    m_platform.identity.removeSession(1);
    m_platform.log().clear();
    EXPECT_FALSE(userInfoOfOwner(*m_info, kAlicePid, info));
    EXPECT_EQ(m_platform.types(), std::vector<std::uint16_t>{kEventTypeWarning});

    // alice logs on again: the entry is back, reported as an addition.
    FakeIdentity::Session again;
    again.userSid = kAliceSid;
    again.groupSids = {kStaff};
    m_platform.identity.setSession(1, again);
    m_info->onSessionChange(alice, platform::kWtsSessionLogon);
    EXPECT_EQ(m_platform.log().count("session id 1 not found in m_sessIdToUser"), 1u);
    ASSERT_TRUE(userInfoOfOwner(*m_info, kAlicePid, info));
    EXPECT_EQ(sidsOf(info), std::vector<std::wstring>{kStaff});
}

TEST_F(UserInformationTest, AnotherUserInAKnownSessionReplacesTheEntry) {
    m_info->enumerateSessions();
    m_platform.log().clear();
    FakeIdentity::Session bob;
    bob.userSid = kBobSid;
    bob.groupSids = {kSales};
    m_platform.identity.setSession(1, bob);
    m_info->onSessionChange(platform::SessionNotification{8, 1}, platform::kWtsSessionLogon);
    EXPECT_EQ(messages(), std::vector<std::string>{
                              "UserInformation::updateCache()user info does not match cached "
                              "info for session id 1, updating it now"});
    EXPECT_EQ(m_info->sessions().at(1), account(L"CORP", L"bob", kBobSid));
    // alice's list stays for when she comes back.
    EXPECT_EQ(m_info->userGroupSids().at(account(L"CORP", L"alice", kAliceSid)),
              (std::vector<std::wstring>{kDomainUsers, kStaff}));

    UserInfo info;
    ASSERT_TRUE(userInfoOfOwner(*m_info, kAlicePid, info));
    EXPECT_EQ(info.name, L"bob");
    // bob's list follows his latest token, which no longer has Domain Users.
    EXPECT_EQ(sidsOf(info), std::vector<std::wstring>{kSales});
}

TEST_F(UserInformationTest, GroupListKeepsKnownOrderAddsNewAndDropsLeftGroups) {
    const AccountInfo alice = account(L"CORP", L"alice", kAliceSid);
    UserInfo read;
    read.domain = alice.domain;
    read.name = alice.name;
    read.sid = alice.sid;
    read.groups = {account(L"CORP", L"A", L"S-1-5-21-1-10"),
                   account(L"CORP", L"B", L"S-1-5-21-1-11"),
                   account(L"CORP", L"B", L"S-1-5-21-1-11")};
    m_info->updateCache(1, read);
    EXPECT_EQ(m_info->userGroupSids().at(alice),
              (std::vector<std::wstring>{L"S-1-5-21-1-10", L"S-1-5-21-1-11"}));

    read.groups = {account(L"CORP", L"C", L"S-1-5-21-1-12"),
                   account(L"CORP", L"B", L"S-1-5-21-1-11"), account(L"X", L"Y", L"S-1-5-21-1-1"),
                   account(L"X", L"Lower", L"s-1-5-21-1-2")};
    m_info->updateCache(1, read);
    // A left, B kept in place, then the new ones in token order; the prefix is case-sensitive.
    EXPECT_EQ(m_info->userGroupSids().at(alice),
              (std::vector<std::wstring>{L"S-1-5-21-1-11", L"S-1-5-21-1-12", L"S-1-5-21-1-1"}));
    // A's mapping is never removed.
    EXPECT_EQ(m_info->groupMappings().count(L"S-1-5-21-1-10"), 1u);
    EXPECT_EQ(m_info->groupMappings().count(L"s-1-5-21-1-2"), 1u);
}

TEST_F(UserInformationTest, FileIsRewrittenOnlyWhenAMappingChanges) {
    UserInfo info;
    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(m_platform.files.writeOpens(), 1);
    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(m_platform.files.writeOpens(), 1);  // nothing new

    m_platform.identity.addAccount(kStaff, L"CORP", L"Staff Members");
    ASSERT_TRUE(m_info->getLatestUserInfoFromSessionId(1, info));
    EXPECT_EQ(m_platform.files.writeOpens(), 2);
    EXPECT_EQ(m_info->groupMappings().at(kStaff), account(L"CORP", L"Staff Members", kStaff));
    ASSERT_TRUE(m_info->getCachedUserInfoFromSessionId(1, info));
    EXPECT_EQ(info.groups.back(), account(L"CORP", L"Staff Members", kStaff));
}

}  // namespace
