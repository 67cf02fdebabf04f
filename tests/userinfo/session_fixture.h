// A small directory of accounts and logon sessions for the user lookup tests.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "tests/userinfo/userinfo_fixture.h"
#include "userinfo/user_information.h"

namespace sessions {

const std::wstring kAliceSid = L"S-1-5-21-1000-2000-3000-1104";
const std::wstring kBobSid = L"S-1-5-21-1000-2000-3000-1105";
const std::wstring kDomainUsers = L"S-1-5-21-1000-2000-3000-513";
const std::wstring kStaff = L"S-1-5-21-1000-2000-3000-1201";
const std::wstring kSales = L"S-1-5-21-1000-2000-3000-1202";
const std::wstring kBuiltinUsers = L"S-1-5-32-545";
const std::wstring kEveryone = L"S-1-1-0";
const std::wstring kLogonId = L"S-1-5-5-0-99999";

constexpr std::uint32_t kSystemPid = 4;
constexpr std::uint32_t kAlicePid = 100;
constexpr std::uint32_t kBobPid = 200;

// alice in session 1, bob in session 2; processes 100 and 200 run there,
// process 4 in session 0.
inline void addDirectory(FakeIdentity& identity) {
    identity.addAccount(kAliceSid, L"CORP", L"alice");
    identity.addAccount(kBobSid, L"CORP", L"bob");
    identity.addAccount(kDomainUsers, L"CORP", L"Domain Users");
    identity.addAccount(kStaff, L"CORP", L"Staff");
    identity.addAccount(kSales, L"CORP", L"Sales");
    identity.addAccount(kBuiltinUsers, L"BUILTIN", L"Users");
    identity.addAccount(kEveryone, L"", L"Everyone");  // well-known: no domain
    // kLogonId has no account: its lookup fails.

    FakeIdentity::Session alice;
    alice.userSid = kAliceSid;
    alice.groupSids = {kEveryone, kDomainUsers, kBuiltinUsers, kLogonId, kStaff};
    identity.setSession(1, alice);

    FakeIdentity::Session bob;
    bob.userSid = kBobSid;
    bob.groupSids = {kDomainUsers, kSales};
    identity.setSession(2, bob);

    identity.setProcess(kSystemPid, 0);
    identity.setProcess(kAlicePid, 1);
    identity.setProcess(kBobPid, 2);
}

// The two steps of a connection's lookup: the owner's session, then its user.
inline bool userInfoOfOwner(UserInformation& users, std::uint32_t owner, UserInfo& info) {
    info.reset();
    std::uint32_t session = 0;
    return users.sessionIdOfOwner(owner, 0, session) &&
           users.getUserInfoFromSessionId(session, info);
}

inline AccountInfo account(const std::wstring& domain, const std::wstring& name,
                           const std::wstring& sid) {
    return AccountInfo{domain, name, sid};
}

inline std::vector<std::wstring> sidsOf(const UserInfo& info) {
    std::vector<std::wstring> out;
    for (const auto& g : info.groups)
        out.push_back(g.sid);
    return out;
}

}  // namespace sessions
