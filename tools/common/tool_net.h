// Socket helpers shared by the test and benchmark tools: an owning
// descriptor, complete writes and exact reads, loopback listen and connect,
// and the socket options the tools set. Linux only; everything talks to
// 127.0.0.1.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace toolnet {

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
    // Closes with a reset instead of a FIN: the peer sees the reset, and
    // neither end keeps a TIME_WAIT row.
    void resetAbortive();

private:
    int m_fd = -1;
};

// From now on a close of this socket sends a reset (SO_LINGER 0), however
// the process ends.
void setResetOnClose(int fd);

// Sends all bytes (no SIGPIPE); false on error, with errno set.
bool writeAll(int fd, const void* data, std::size_t len);
bool writeAll(int fd, const std::string& bytes);

// Sends each byte on its own with TCP_NODELAY on, pausing pauseMicros
// between bytes so that each one leaves as a separate segment.
bool writeBytewise(int fd, const void* data, std::size_t len, unsigned pauseMicros);

// Reads exactly len bytes from a socket or a pipe; false on end of stream or
// error.
bool readExact(int fd, void* out, std::size_t len);

void setNoDelay(int fd);
bool setNonBlocking(int fd, bool on);
// Zero means no timeout.
void setReceiveTimeout(int fd, std::chrono::milliseconds timeout);
void setTimeouts(int fd, std::chrono::milliseconds timeout);  // receive and send

// Listens on 127.0.0.1:port with SO_REUSEADDR; port 0 picks a free port, and
// port receives the one bound. Invalid on failure, with errno and error set.
Fd listenLoopback(std::uint16_t& port, int backlog, std::string& error);
Fd listenLoopback(std::uint16_t& port, int backlog);
// The same on a given address: a dotted IPv4 or an IPv6 literal (::1).
Fd listenOn(const std::string& address, std::uint16_t& port, int backlog, std::string& error);
// A blocking connect to address:port.
Fd connectTo(const std::string& address, std::uint16_t port, std::string& error);

enum ConnectFlags : unsigned {
    kNonBlocking = 1u << 0,  // returns at once; the connect may still be in progress
    kNoDelay = 1u << 1,
};

// Connects to 127.0.0.1:port. Invalid on failure, with errno and error set.
Fd connectLoopback(std::uint16_t port, unsigned flags, std::string& error);
Fd connectLoopback(std::uint16_t port, unsigned flags = 0);

// Writes the port and a newline to path (nothing when path is empty), whole
// under a temporary name, so that a reader never sees half a number.
bool writePortFile(const std::string& path, std::uint16_t port);

}  // namespace toolnet
