#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <future>
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

// Stores one group for a user of its own in `session`, as a fresh read does.
void storeGroup(UserInformation& users, std::uint32_t session, const AccountInfo& group) {
    UserInfo user;
    user.domain = L"CORP";
    user.name = L"user" + std::to_wstring(session);
    user.sid = L"S-1-5-21-1-" + std::to_wstring(2000 + session);
    user.groups = {group};
    users.updateCache(session, user);
}

// Waits for what another thread does before it blocks where the test
// cannot see it.
void waitUntil(const std::function<bool()>& done) {
    while (!done())
        std::this_thread::yield();
}

TEST(UserInformationConcurrency, RewritesRunOutsideTheLockAndTheNewestMappingsStay) {
    UserinfoPlatform platform;
    UserInformation users;
    const AccountInfo staff = account(L"CORP", L"Staff", L"S-1-5-21-1-1201");
    const AccountInfo sales = account(L"CORP", L"Sales", L"S-1-5-21-1-1202");
    const AccountInfo admins = account(L"CORP", L"Admins", L"S-1-5-21-1-512");

    std::promise<void> entered;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    platform.files.m_openWriteHook = [&] {
        if (first.exchange(false)) {
            entered.set_value();
            released.wait();
        }
    };
    std::thread held([&] { storeGroup(users, 1, staff); });
    entered.get_future().wait();

    // The first rewrite is held at the disk: lookups and new users go on.
    UserInfo info;
    EXPECT_TRUE(users.getCachedUserInfoFromSessionId(1, info));
    // Two later changes wait to write: the first of them to get its turn
    // writes both, the other has nothing left to write.
    std::thread older([&] { storeGroup(users, 2, sales); });
    waitUntil([&] { return users.groupMappings().count(sales.sid) == 1; });
    std::thread newer([&] { storeGroup(users, 3, admins); });
    waitUntil([&] { return users.groupMappings().count(admins.sid) == 1; });
    EXPECT_TRUE(users.getCachedUserInfoFromSessionId(3, info));

    release.set_value();
    for (std::thread* t : {&held, &older, &newer})
        t->join();
    EXPECT_EQ(platform.files.readFile("group_mappings.txt"),
              "CORP,Staff,S-1-5-21-1-1201\n"
              "CORP,Sales,S-1-5-21-1-1202\n"
              "CORP,Admins,S-1-5-21-1-512\n");
    EXPECT_FALSE(platform.files.exists("group_mappings.txt.tmp"));
    EXPECT_EQ(platform.files.writeOpens(), 2);
}

}  // namespace
