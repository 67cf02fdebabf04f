// Which users have a login session: the uids are the session ids that the
// relay enumerates at start-up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/posix/logind.h"

namespace platform {
namespace posix {

// USER_PROCESS records of a utmp file, their user names turned into uids
// through NSS (unknown names are skipped). False when the file cannot be read.
bool uidsFromUtmpFile(const std::string& path, std::vector<std::uint32_t>& uids);

// Ascending, each once: logind's users with a session while logind runs,
// else utmp's.
std::vector<std::uint32_t> loginSessionUids(const Logind& logind, const std::string& utmpPath);
// The same from the machine's logind and utmp file.
std::vector<std::uint32_t> loginSessionUids();

}  // namespace posix
}  // namespace platform
