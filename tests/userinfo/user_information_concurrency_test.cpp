#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

#include "tests/userinfo/session_fixture.h"
#include "userinfo/user_information.h"

using namespace sessions;

namespace {

// A lookup result is whole when its user and its groups belong together and
// every named group carries the name the directory gives it.
bool isWhole(const UserInfo& info) {
    std::set<std::wstring> allowed;
    if (info.name == L"alice" && info.sid == kAliceSid) {
        allowed = {kEveryone, kDomainUsers, kBuiltinUsers, kLogonId, kStaff};
    } else if (info.name == L"bob" && info.sid == kBobSid) {
        allowed = {kDomainUsers, kSales};
    } else {
        return false;
    }
    if (info.domain != L"CORP" || info.groups.empty())
        return false;
    for (const AccountInfo& g : info.groups) {
        if (allowed.count(g.sid) == 0)
            return false;
        if (g.sid == kStaff && g.name != L"Staff")
            return false;
        if (g.sid == kSales && g.name != L"Sales")
            return false;
        if (g.sid == kDomainUsers && g.name != L"Domain Users")
            return false;
    }
    return true;
}

TEST(UserInformationConcurrency, LookupsRacingLogonsAndLogoffsSeeWholeAnswers) {
    UserinfoPlatform platform;
    addDirectory(platform.identity);
    UserInformation users;
    users.enumerateSessions();

    FakeIdentity::Session alice;
    alice.userSid = kAliceSid;
    alice.groupSids = {kEveryone, kDomainUsers, kBuiltinUsers, kLogonId, kStaff};
    FakeIdentity::Session bob;
    bob.userSid = kBobSid;
    bob.groupSids = {kDomainUsers, kSales};

    constexpr int kIterations = 400;
    std::atomic<int> broken{0};
    std::atomic<int> failed{0};
    std::vector<std::thread> threads;
    for (int r = 0; r < 4; ++r) {
        threads.emplace_back([&, r] {
            for (int i = 0; i < kIterations; ++i) {
                UserInfo info;
                const std::uint32_t pid = (i + r) % 2 == 0 ? kAlicePid : kBobPid;
                if (!userInfoOfOwner(users, pid, info)) {
                    ++failed;
                } else if (!isWhole(info)) {
                    ++broken;
                }
            }
        });
    }
    for (int w = 0; w < 2; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kIterations; ++i) {
                const std::uint32_t session = 1 + static_cast<std::uint32_t>((i + w) % 2);
                const platform::SessionNotification notification{8, session};
                if (i % 3 == 0) {
                    users.onSessionChange(notification, platform::kWtsSessionLogoff);
                } else {
                    // Sometimes the other user takes the session over.
                    platform.identity.setSession(session, i % 5 == 0 ? bob : alice);
                    users.onSessionChange(notification, platform::kWtsSessionLogon);
                }
            }
        });
    }
    for (auto& t : threads)
        t.join();

    EXPECT_EQ(broken.load(), 0);
    EXPECT_EQ(failed.load(), 0);  // every session always has a token
    EXPECT_EQ(platform.identity.openTokens(), 0);
    EXPECT_EQ(platform.identity.badCloses(), 0);
    for (const auto& entry : users.userGroupSids()) {
        std::set<std::wstring> unique(entry.second.begin(), entry.second.end());
        EXPECT_EQ(unique.size(), entry.second.size());
    }
}

}  // namespace
