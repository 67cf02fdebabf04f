// Finds the processes that hold socket inodes, through /proc/<pid>/fd.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace platform {
namespace posix {

// wanted maps socket inodes to owning pids; entries at 0 are filled with the
// first process found holding that inode (a process scanned earlier wins;
// this process is scanned last).
// Processes whose uid is in preferredUids are scanned first, the others
// after, newest first; the scan stops once every inode has an owner. Processes that cannot
// be read (gone, or another user's without privilege) are skipped.
// Returns 0, or the errno value when the search itself could not be made
// (out of descriptors or memory): then owners may be missing.
int findSocketOwners(std::unordered_map<std::uint64_t, std::uint32_t>& wanted,
                     const std::vector<std::uint32_t>& preferredUids);

// The inode of "socket:[12345]", or 0 for any other link text.
std::uint64_t socketInodeFromLink(const char* link, std::size_t length);

}  // namespace posix
}  // namespace platform
