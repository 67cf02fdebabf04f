// Blocking socket helpers for the hostile gateway and its client driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace hg {

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

private:
    int m_fd = -1;
};

bool writeAll(int fd, const void* data, std::size_t len);
bool writeAll(int fd, const std::string& bytes);
// Each byte its own segment: no Nagle, and a short pause between bytes.
bool writeBytewise(int fd, const std::string& bytes);
bool readExact(int fd, void* out, std::size_t len);
bool skipBytes(int fd, std::size_t len);
// Reads until the peer closes, fails, or the receive timeout passes.
void drainUntilEof(int fd);
// Reads and drops what arrives for at most ms milliseconds, or until the peer closes.
void drainFor(int fd, int ms);
// Closes with SO_LINGER 0, so the peer sees a reset.
void closeWithReset(Fd& fd);

void setTimeouts(int fd, int seconds);
void setNoDelay(int fd);

Fd listenLoopback(std::uint16_t port, int backlog, std::uint16_t& actualPort, std::string& error);
Fd connectLoopback(std::uint16_t port, std::string& error);

}  // namespace hg
