#include "platform/posix/nss_accounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace platform {
namespace posix {
namespace {

constexpr std::size_t kFirstBufferSize = 1024;
// Entries with thousands of members need large buffers; beyond this the
// entry is treated as unreadable rather than growing without end.
constexpr std::size_t kMaxBufferSize = 16 * 1024 * 1024;
constexpr int kMaxGroups = 65536;

// Runs a getXXX_r call, growing its scratch buffer while it reports ERANGE,
// and hands the entry to `use` while the buffer it points into is alive.
template <typename Entry, typename Call, typename Use>
int lookupEntry(Call call, Use use) {
    std::vector<char> buffer(kFirstBufferSize);
    for (;;) {
        Entry entry;
        Entry* result = nullptr;
        const int rc = call(&entry, buffer.data(), buffer.size(), &result);
        if (rc == 0 && result == nullptr)
            return ENOENT;
        if (rc == 0) {
            use(*result);
            return 0;
        }
        if (rc != ERANGE || buffer.size() >= kMaxBufferSize) {
            // Some NSS modules report a missing entry as an error.
            return rc == ESRCH || rc == EBADF || rc == EPERM ? ENOENT : rc;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::string text(const char* s) {
    return s != nullptr ? s : "";
}

}  // namespace

int lookupUser(std::uint32_t uid, std::string& name, std::uint32_t& primaryGid) {
    return lookupEntry<passwd>(
        [uid](passwd* e, char* b, std::size_t n, passwd** r) {
            return ::getpwuid_r(static_cast<uid_t>(uid), e, b, n, r);
        },
        [&](const passwd& e) {
            name = text(e.pw_name);
            primaryGid = e.pw_gid;
        });
}

int lookupGroup(std::uint32_t gid, std::string& name) {
    return lookupEntry<group>(
        [gid](group* e, char* b, std::size_t n, group** r) {
            return ::getgrgid_r(static_cast<gid_t>(gid), e, b, n, r);
        },
        [&](const group& e) { name = text(e.gr_name); });
}

int lookupUidByName(const std::string& name, std::uint32_t& uid) {
    return lookupEntry<passwd>(
        [&name](passwd* e, char* b, std::size_t n, passwd** r) {
            return ::getpwnam_r(name.c_str(), e, b, n, r);
        },
        [&](const passwd& e) { uid = e.pw_uid; });
}

std::vector<std::uint32_t> groupsOfUser(const std::string& userName, std::uint32_t primaryGid) {
    std::vector<std::uint32_t> result{primaryGid};
    std::vector<gid_t> groups(64);
    int count = static_cast<int>(groups.size());
    while (::getgrouplist(userName.c_str(), static_cast<gid_t>(primaryGid), groups.data(), &count) <
           0) {
        // count now holds the number needed; never trust it to shrink.
        const int wanted = std::max(count, static_cast<int>(groups.size()) * 2);
        if (wanted > kMaxGroups)
            return result;
        groups.resize(static_cast<std::size_t>(wanted));
        count = wanted;
    }
    for (int i = 0; i < count; ++i) {
        const std::uint32_t gid = groups[static_cast<std::size_t>(i)];
        if (std::find(result.begin(), result.end(), gid) == result.end())
            result.push_back(gid);
    }
    return result;
}

AccountName splitAccountName(const std::string& nssName, const std::string& localDomain) {
    const std::size_t backslash = nssName.find('\\');
    if (backslash != std::string::npos && backslash > 0 && backslash + 1 < nssName.size())
        return AccountName{nssName.substr(0, backslash), nssName.substr(backslash + 1)};
    const std::size_t at = nssName.rfind('@');
    if (backslash == std::string::npos && at != std::string::npos && at > 0 &&
        at + 1 < nssName.size())
        return AccountName{nssName.substr(at + 1), nssName.substr(0, at)};
    return AccountName{localDomain, nssName};
}

std::string localDomainFromHostName(const std::string& hostName) {
    std::string shortName = hostName.substr(0, hostName.find('.'));
    for (char& c : shortName) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return shortName;
}

std::string localDomainName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return localDomainFromHostName(name);
}

}  // namespace posix
}  // namespace platform
