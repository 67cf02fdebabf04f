#include "platform/posix/login_sessions.h"

#include <paths.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/posix/nss_accounts.h"

namespace platform {
namespace posix {
namespace {}  // namespace

bool uidsFromUtmpFile(const std::string& path, std::vector<std::uint32_t>& uids) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    struct utmp record;
    while (in.read(reinterpret_cast<char*>(&record), sizeof record)) {
        if (record.ut_type != USER_PROCESS)
            continue;
        // ut_user is not terminated when the name fills it.
        const std::string user(record.ut_user, strnlen(record.ut_user, sizeof record.ut_user));
        std::uint32_t uid = 0;
        if (!user.empty() && lookupUidByName(user, uid) == 0)
            uids.push_back(uid);
    }
    return true;
}

std::vector<std::uint32_t> loginSessionUids(const Logind& logind, const std::string& utmpPath) {
    std::vector<std::uint32_t> uids;
    if (logind.running())
        logind.sessionUids(uids);
    else
        uidsFromUtmpFile(utmpPath, uids);
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

std::vector<std::uint32_t> loginSessionUids() {
    return loginSessionUids(systemLogind(), _PATH_UTMP);
}

}  // namespace posix
}  // namespace platform
