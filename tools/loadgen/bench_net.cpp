#include "tools/loadgen/bench_net.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

namespace bench {

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool raiseDescriptorLimit(std::uint64_t needed) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    if (limit.rlim_cur >= needed)
        return true;
    limit.rlim_cur = needed;
    if (limit.rlim_max < needed)
        limit.rlim_max = needed;  // allowed for root only
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

long residentKib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

namespace {

// The inodes of the netlink sockets in the process's network namespace.
std::set<std::string> netlinkInodes(const std::string& proc) {
    std::set<std::string> inodes;
    std::ifstream table(proc + "/net/netlink");
    std::string line;
    std::getline(table, line);  // the header
    while (std::getline(table, line)) {
        const std::size_t last = line.find_last_not_of(" \t");
        const std::size_t start = line.find_last_of(" \t", last);
        if (last != std::string::npos && start != std::string::npos)
            inodes.insert(line.substr(start + 1, last - start));
    }
    return inodes;
}

}  // namespace

long openDescriptors(int pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    DIR* dir = ::opendir((proc + "/fd").c_str());
    if (dir == nullptr)
        return -1;
    const std::set<std::string> netlink = netlinkInodes(proc);
    long count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[64] = {};
        const std::string link = proc + "/fd/" + entry->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        const std::string text(target, n > 0 ? static_cast<std::size_t>(n) : 0);
        if (text.compare(0, 8, "socket:[") != 0 ||
            netlink.count(text.substr(8, text.size() - 9)) == 0) {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const double rank = fraction * static_cast<double>(values.size() - 1) + 0.5;
    const auto index = static_cast<std::size_t>(rank);
    return values[std::min(index, values.size() - 1)];
}

bool parseLong(const std::string& text, long min, long max, long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    value = v;
    return true;
}

}  // namespace bench
