#include "platform/posix/proc_fd_owner.h"
#include "platform/posix/unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>

namespace platform {
namespace posix {
namespace {

using OwnerMap = std::unordered_map<std::uint64_t, std::uint32_t>;

// A whole non-negative decimal number that fits 32 bits.
bool parseNumber(const char* text, std::uint32_t& value) {
    if (*text == '\0')
        return false;
    std::uint64_t v = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(*p - '0');
        if (v > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<std::uint32_t>(v);
    return true;
}

// The numbered entries of an open directory. getdents64 directly: this runs
// for every process on every lookup, and readdir() costs extra system calls
// per directory.
std::vector<std::uint32_t> numberedEntries(int dirFd) {
    // linux_dirent64: d_ino (8), d_off (8), d_reclen (2), d_type (1), d_name.
    constexpr std::size_t kReclenOffset = 16;
    constexpr std::size_t kNameOffset = 19;
    alignas(8) char buffer[8192];
    std::vector<std::uint32_t> numbers;
    for (;;) {
        const long got = ::syscall(SYS_getdents64, dirFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return numbers;
        for (std::size_t pos = 0; pos + kNameOffset < static_cast<std::size_t>(got);) {
            unsigned short reclen = 0;
            std::memcpy(&reclen, buffer + pos + kReclenOffset, sizeof reclen);
            if (reclen <= kNameOffset || pos + reclen > static_cast<std::size_t>(got))
                return numbers;
            // d_name is NUL-terminated within the record.
            std::uint32_t n = 0;
            if (std::memchr(buffer + pos + kNameOffset, '\0', reclen - kNameOffset) != nullptr &&
                parseNumber(buffer + pos + kNameOffset, n))
                numbers.push_back(n);
            pos += reclen;
        }
    }
}

// A failure that says nothing about the process but that this one cannot
// search at all right now.
bool searchImpossible(int err) {
    return err == EMFILE || err == ENFILE || err == ENOMEM;
}

// Descriptors looked at above the one found last time before the process's
// whole list is read: a process that keeps opening connections gets each
// new socket a descriptor above the last (the lowest free one), and reading
// the list of one that holds thousands costs milliseconds.
constexpr std::uint32_t kProbeLimit = 64;

struct Scan {
    std::size_t missing;
    std::uint32_t found = 0;  // the descriptor of the last find, 0: none
};

// Looks at one descriptor; false when the process has no such descriptor.
bool checkDescriptor(int fdsDir, std::uint32_t n, std::uint32_t pid, OwnerMap& wanted, Scan& scan) {
    char name[16];
    char link[64];
    std::snprintf(name, sizeof name, "%u", n);
    const ssize_t length = ::readlinkat(fdsDir, name, link, sizeof link);
    if (length <= 0)
        return errno != ENOENT;
    const std::uint64_t inode = socketInodeFromLink(link, static_cast<std::size_t>(length));
    const auto it = inode == 0 ? wanted.end() : wanted.find(inode);
    if (it != wanted.end() && it->second == 0) {
        it->second = pid;
        scan.found = n;
        --scan.missing;
    }
    return true;
}

// Looks through one process's descriptors, first probeFrom and those above
// it (when not 0). err is set when the process's descriptors could not be
// opened for want of resources.
Scan scanProcess(int procFd, std::uint32_t pid, OwnerMap& wanted, std::size_t missing,
                 std::uint32_t probeFrom, int& err) {
    Scan scan{missing};
    const std::string fdPath = std::to_string(pid) + "/fd";
    UniqueFd fds(::openat(procFd, fdPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fds.get() < 0) {
        if (searchImpossible(errno))
            err = errno;
        return scan;
    }
    // The descriptor of the last find again (closed and reused since), then
    // the ones above it; those are not looked at twice.
    std::uint32_t probed = probeFrom;
    while (probeFrom != 0 && probed <= probeFrom + kProbeLimit && scan.missing > 0 &&
           checkDescriptor(fds.get(), probed, pid, wanted, scan))
        ++probed;
    if (scan.missing == 0)
        return scan;
    std::vector<std::uint32_t> numbers = numberedEntries(fds.get());
    // Newest descriptors first: the socket being asked about was usually
    // opened moments ago.
    std::sort(numbers.begin(), numbers.end(), std::greater<std::uint32_t>());
    for (std::uint32_t n : numbers) {
        if (n >= probeFrom && n < probed)
            continue;
        checkDescriptor(fds.get(), n, pid, wanted, scan);
        if (scan.missing == 0)
            break;
    }
    return scan;
}

bool hasPreferredUid(int procFd, std::uint32_t pid, const std::vector<std::uint32_t>& uids) {
    // /proc/<pid> belongs to the process's effective uid.
    char name[16];
    std::snprintf(name, sizeof name, "%u", pid);
    struct stat st;
    return ::fstatat(procFd, name, &st, 0) == 0 &&
           std::find(uids.begin(), uids.end(), static_cast<std::uint32_t>(st.st_uid)) != uids.end();
}

// Processes that owned recently asked-about sockets, most recent first, with
// the descriptor of the last find. A browser opens its connections from the
// same few processes, so looking there first usually finds the owner
// without a walk over all of /proc.
struct RecentOwner {
    std::uint32_t pid;
    std::uint32_t lastFound;
};

class RecentOwners {
public:
    std::vector<RecentOwner> list() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_owners;
    }
    void remember(std::uint32_t pid, std::uint32_t found) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_owners.erase(std::remove_if(m_owners.begin(), m_owners.end(),
                                      [pid](const RecentOwner& o) { return o.pid == pid; }),
                       m_owners.end());
        m_owners.insert(m_owners.begin(), RecentOwner{pid, found});
        if (m_owners.size() > kCapacity)
            m_owners.pop_back();
    }

private:
    static constexpr std::size_t kCapacity = 8;
    std::mutex m_mutex;
    std::vector<RecentOwner> m_owners;
};

RecentOwners& recentOwners() {
    static RecentOwners g_recentOwners;
    return g_recentOwners;
}

// Scans one process and remembers it when it owned one of the wanted sockets.
std::size_t scanAndRemember(int procFd, std::uint32_t pid, OwnerMap& wanted, std::size_t missing,
                            std::uint32_t probeFrom, int& err) {
    const Scan scan = scanProcess(procFd, pid, wanted, missing, probeFrom, err);
    if (scan.missing < missing)
        recentOwners().remember(pid, scan.found);
    return scan.missing;
}

}  // namespace

std::uint64_t socketInodeFromLink(const char* link, std::size_t length) {
    static const char kPrefix[] = "socket:[";
    constexpr std::size_t kPrefixLength = sizeof kPrefix - 1;
    if (length < kPrefixLength + 2 || std::memcmp(link, kPrefix, kPrefixLength) != 0 ||
        link[length - 1] != ']')
        return 0;
    std::uint64_t inode = 0;
    for (std::size_t i = kPrefixLength; i + 1 < length; ++i) {
        const char c = link[i];
        if (c < '0' || c > '9' || inode > (~std::uint64_t{0} - 9) / 10)
            return 0;
        inode = inode * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return inode;
}

int findSocketOwners(OwnerMap& wanted, const std::vector<std::uint32_t>& preferredUids) {
    std::size_t missing = 0;
    for (const auto& entry : wanted) {
        if (entry.first != 0 && entry.second == 0)
            ++missing;
    }
    if (missing == 0)
        return 0;
    // Kept open between lookups, like the lookup's netlink socket.
    thread_local UniqueFd proc;
    if (proc.get() < 0) {
        proc.reset(::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (proc.get() < 0)
            return errno;
    }
    int err = 0;
    // Newest (highest pid) first: a browser is usually younger than the
    // system's daemons. Processes of other uids wait for a second pass; each
    // is looked at only when reached, so an early find costs little.
    const std::uint32_t self = static_cast<std::uint32_t>(::getpid());
    const std::vector<RecentOwner> recent = recentOwners().list();
    for (const RecentOwner& owner : recent) {
        if (owner.pid != self && (missing = scanAndRemember(proc.get(), owner.pid, wanted, missing,
                                                            owner.lastFound, err)) == 0)
            return 0;
    }
    ::lseek(proc.get(), 0, SEEK_SET);  // the listing starts where the last one ended
    std::vector<std::uint32_t> pids = numberedEntries(proc.get());
    std::sort(pids.begin(), pids.end(), std::greater<std::uint32_t>());
    // The relay holds many sockets of its own and the socket asked about is
    // normally another process's: this process goes last of all.
    std::vector<std::uint32_t> later;
    for (std::uint32_t pid : pids) {
        if (pid == self || std::any_of(recent.begin(), recent.end(),
                                       [pid](const RecentOwner& o) { return o.pid == pid; }))
            continue;
        if (!preferredUids.empty() && !hasPreferredUid(proc.get(), pid, preferredUids)) {
            later.push_back(pid);
            continue;
        }
        if ((missing = scanAndRemember(proc.get(), pid, wanted, missing, 0, err)) == 0)
            return 0;
    }
    later.push_back(self);
    for (std::uint32_t pid : later) {
        if ((missing = scanAndRemember(proc.get(), pid, wanted, missing, 0, err)) == 0)
            return 0;
    }
    return err;
}

}  // namespace posix
}  // namespace platform
