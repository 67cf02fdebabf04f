// Accounts and the user of one logon session.
#pragma once

#include <string>
#include <tuple>
#include <vector>

// One account, user or group. Ordered field by field by UTF-16 code unit.
struct AccountInfo {
    std::wstring domain;
    std::wstring name;
    std::wstring sid;
};

inline bool operator<(const AccountInfo& a, const AccountInfo& b) {
    return std::tie(a.domain, a.name, a.sid) < std::tie(b.domain, b.name, b.sid);
}
inline bool operator==(const AccountInfo& a, const AccountInfo& b) {
    return a.domain == b.domain && a.name == b.name && a.sid == b.sid;
}
inline bool operator!=(const AccountInfo& a, const AccountInfo& b) {
    return !(a == b);
}

struct UserInfo {
    std::wstring domain;
    std::wstring name;
    std::wstring sid;
    std::vector<AccountInfo> groups;

    void reset() {
        domain.clear();
        name.clear();
        sid.clear();
        groups.clear();
    }
};

// The fixed identity of session 0: NT AUTHORITY\SYSTEM, no SID, no groups.
bool fillSystemUserInfo(UserInfo& info);
