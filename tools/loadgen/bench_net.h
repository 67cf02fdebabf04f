// Small socket and measurement helpers shared by the load and benchmark tools.
// Linux only; everything talks to 127.0.0.1.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace bench {

using Clock = std::chrono::steady_clock;

double millisSince(Clock::time_point start);

// Owns one descriptor and closes it on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() { reset(); }
    Fd(Fd&& other) noexcept : m_fd(other.release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    int release();
    void reset();
    // Closes with a reset instead of a FIN: neither end keeps a TIME_WAIT row.
    void resetAbortive();

private:
    int m_fd = -1;
};

// Starts a connection to 127.0.0.1:port. Non-blocking sockets return at once
// (the connect may still be in progress). Invalid on failure, errno set.
Fd connectLoopback(std::uint16_t port, bool nonBlocking);

// Listens on 127.0.0.1:port (0 picks a free port); port receives the port.
Fd listenLoopback(std::uint16_t& port, int backlog);

void setNoDelay(int fd);
bool setNonBlocking(int fd, bool on);

// Sends all of it; false on error.
bool sendAll(int fd, const void* data, std::size_t size);
bool sendAll(int fd, const std::string& text);

// Raises the soft descriptor limit to at least `needed` (root may also raise
// the hard limit). False when that is not possible.
bool raiseDescriptorLimit(std::uint64_t needed);

// VmRSS of a process in KiB from /proc/<pid>/status; -1 when unreadable.
long residentKib(int pid);

// Number of open descriptors of a process; -1 when unreadable.
long openDescriptors(int pid);

// Value at `fraction` (0..1) of the values, nearest rank; 0 when empty.
double percentile(std::vector<double> values, double fraction);

// Parses a decimal number in [min, max]; false otherwise.
bool parseLong(const std::string& text, long min, long max, long& value);

}  // namespace bench
