#include "tools/hostile-gateway/sock.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

namespace hg {

constexpr unsigned kBytePauseMicros = 300;

bool writeBytewise(int fd, const std::string& bytes) {
    return toolnet::writeBytewise(fd, bytes.data(), bytes.size(), kBytePauseMicros);
}

bool skipBytes(int fd, std::size_t len) {
    char scratch[4096];
    while (len > 0) {
        const std::size_t want = len < sizeof(scratch) ? len : sizeof(scratch);
        if (!toolnet::readExact(fd, scratch, want))
            return false;
        len -= want;
    }
    return true;
}

void drainUntilEof(int fd) {
    char scratch[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, scratch, sizeof(scratch), 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
    }
}

void drainFor(int fd, int ms) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    char scratch[16384];
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return;
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return;
        const ssize_t n = ::recv(fd, scratch, sizeof(scratch), 0);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return;
    }
}

}  // namespace hg
