// Which users have a login session: the uids are the session ids that the
// relay enumerates at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {
namespace posix {

// logind keeps one file per logged-in uid in this folder. False when the
// folder does not exist (no logind), else the uids found, in any order.
bool uidsFromLogindFolder(const std::string& folder, std::vector<std::uint32_t>& uids);

// USER_PROCESS records of a utmp file, their user names turned into uids
// through NSS (unknown names are skipped). False when the file cannot be read.
bool uidsFromUtmpFile(const std::string& path, std::vector<std::uint32_t>& uids);

// Ascending, each once: logind when present, else utmp.
std::vector<std::uint32_t> loginSessionUids(const std::string& logindFolder,
                                            const std::string& utmpPath);
std::vector<std::uint32_t> loginSessionUids();

// The real uid from a /proc/<pid>/status text; false when it has none.
bool realUidFromStatus(const std::string& statusText, std::uint32_t& uid);

}  // namespace posix
}  // namespace platform
