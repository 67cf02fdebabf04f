// Basic types shared by the platform layer and the core.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

namespace platform {

// A socket handle: SOCKET on Windows, a file descriptor on POSIX.
using Socket = std::uintptr_t;
constexpr Socket kInvalidSocket = ~Socket(0);

constexpr std::uint16_t kAfInet = 2;
constexpr std::uint16_t kAfInet6 = 23;  // AF_INET6 as Windows numbers it, on both platforms

// A socket address of either family. Port and addresses are in network byte
// order, exactly as accept() and bind() hold them: an IPv4 address in addr,
// an IPv6 one in addr6 with its scope.
struct SockAddr {
    std::uint16_t family = 0;
    std::uint16_t port = 0;
    std::uint32_t addr = 0;
    std::array<std::uint8_t, 16> addr6{};
    std::uint32_t scopeId = 0;
};

inline bool operator==(const SockAddr& a, const SockAddr& b) {
    return a.family == b.family && a.port == b.port &&
           (a.family == kAfInet6 ? a.addr6 == b.addr6 && a.scopeId == b.scopeId : a.addr == b.addr);
}
inline bool operator!=(const SockAddr& a, const SockAddr& b) {
    return !(a == b);
}

// Host/network byte order helpers that need no system header.
inline std::uint16_t hostToNet16(std::uint16_t v) {
    const std::uint8_t b[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    std::uint16_t r;
    std::memcpy(&r, b, 2);
    return r;
}
inline std::uint16_t netToHost16(std::uint16_t v) {
    std::uint8_t b[2];
    std::memcpy(b, &v, 2);
    return static_cast<std::uint16_t>((b[0] << 8) | b[1]);
}
inline std::uint32_t hostToNet32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v >> 24),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
    std::uint32_t r;
    std::memcpy(&r, b, 4);
    return r;
}
inline std::uint32_t netToHost32(std::uint32_t v) {
    return hostToNet32(v);
}

// 127.0.0.1 in network byte order.
inline std::uint32_t loopbackAddr() {
    return hostToNet32(0x7F000001u);
}

// ::1.
inline std::array<std::uint8_t, 16> loopbackAddr6() {
    return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
}

}  // namespace platform
