// Users and groups from the name service switch (files, LDAP, directory
// daemons, ...), in UTF-8 as NSS gives them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace posix {

// Each returns 0 when found, ENOENT when NSS has no such entry, or another
// errno value when the lookup itself failed.
int lookupUser(std::uint32_t uid, std::string& name, std::uint32_t& primaryGid);
int lookupGroup(std::uint32_t gid, std::string& name);
int lookupUidByName(const std::string& name, std::uint32_t& uid);

// The primary group, then the supplementary groups in getgrouplist order,
// each once.
std::vector<std::uint32_t> groupsOfUser(const std::string& userName, std::uint32_t primaryGid);

struct AccountName {
    std::string domain;
    std::string name;
};

// Directory accounts come as "name@domain" or "DOMAIN\name" and are split;
// every other name is local and gets localDomain.
AccountName splitAccountName(const std::string& nssName, const std::string& localDomain);

// The short host name (up to the first dot) in upper case.
std::string localDomainFromHostName(const std::string& hostName);
// The same for this machine, read on every call (the host name can change).
std::string localDomainName();

}  // namespace posix
}  // namespace platform
