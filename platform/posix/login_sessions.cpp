#include "platform/posix/login_sessions.h"

#include <dirent.h>
#include <paths.h>
#include <utmp.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "platform/posix/nss_accounts.h"

namespace platform {
namespace posix {
namespace {

constexpr const char* kLogindUsersFolder = "/run/systemd/users";
constexpr std::uint32_t kInvalidUid = 0xFFFFFFFF;  // (uid_t)-1 names nobody

// A whole decimal 32-bit number, nothing else.
bool parseUid(const char* text, std::uint32_t& uid) {
    if (*text == '\0')
        return false;
    std::uint64_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(*p - '0');
        if (value >= kInvalidUid)
            return false;
    }
    uid = static_cast<std::uint32_t>(value);
    return true;
}

struct DirCloser {
    void operator()(DIR* d) const { ::closedir(d); }
};

}  // namespace

bool uidsFromLogindFolder(const std::string& folder, std::vector<std::uint32_t>& uids) {
    std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir)
        return false;
    while (const dirent* entry = ::readdir(dir.get())) {
        std::uint32_t uid = 0;
        if (parseUid(entry->d_name, uid))
            uids.push_back(uid);
    }
    return true;
}

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

std::vector<std::uint32_t> loginSessionUids(const std::string& logindFolder,
                                            const std::string& utmpPath) {
    std::vector<std::uint32_t> uids;
    if (!uidsFromLogindFolder(logindFolder, uids))
        uidsFromUtmpFile(utmpPath, uids);
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    return uids;
}

std::vector<std::uint32_t> loginSessionUids() {
    return loginSessionUids(kLogindUsersFolder, _PATH_UTMP);
}

bool realUidFromStatus(const std::string& statusText, std::uint32_t& uid) {
    std::istringstream lines(statusText);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 4, "Uid:") != 0)
            continue;
        std::istringstream fields(line.substr(4));
        std::uint64_t value = 0;
        if (!(fields >> value) || value >= kInvalidUid)
            return false;
        uid = static_cast<std::uint32_t>(value);
        return true;
    }
    return false;
}

}  // namespace posix
}  // namespace platform
