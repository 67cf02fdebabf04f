// Measurement helpers shared by the load and benchmark tools (their socket
// helpers are in tools/common). Linux only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start);

// Raises the soft descriptor limit to at least `needed` (root may also raise
// the hard limit). False when that is not possible.
bool raiseDescriptorLimit(std::uint64_t needed);

// VmRSS of a process in KiB from /proc/<pid>/status; -1 when unreadable.
long residentKib(int pid);

// Number of open descriptors of a process, its netlink sockets left out (a
// relay's lookup threads keep one each for as long as they live); -1 when
// unreadable.
long openDescriptors(int pid);

// Value at `fraction` (0..1) of the values, nearest rank; 0 when empty.
double percentile(std::vector<double> values, double fraction);

// Parses a decimal number in [min, max]; false otherwise.
bool parseLong(const std::string& text, long min, long max, long& value);

}  // namespace bench
