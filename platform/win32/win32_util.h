// Small helpers shared by the Win32 seam implementations.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace platform {
namespace win32 {

// Runs a release action when the scope ends (handles, system buffers).
template <typename F>
class ScopeExit {
public:
    explicit ScopeExit(F action) : m_action(std::move(action)) {}
    ~ScopeExit() { m_action(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    F m_action;
};

// A FILETIME's two halves as the clock seam's ticks (100 ns since 1601).
inline std::int64_t ticksFromFileTime(std::uint32_t low, std::uint32_t high) {
    return static_cast<std::int64_t>((std::uint64_t{high} << 32) | low);
}

// UTF-8 to UTF-16 for handing text to wide system calls. Ill-formed input
// becomes U+FFFD; an empty or unconvertible input gives an empty string.
std::wstring utf8ToUtf16(const std::string& text);

}  // namespace win32
}  // namespace platform
