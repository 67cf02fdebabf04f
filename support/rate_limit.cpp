#include "support/rate_limit.h"

#include "platform/platform.h"

bool MessageRateLimit::admit(std::uint64_t& heldBack) {
    const std::int64_t now = platform::clock().nowTicks();
    std::lock_guard<std::mutex> lock(m_mutex);
    // A clock set back counts as a second gone by, so a message is never
    // held back for longer than that.
    if (m_logged && now >= m_lastLogged && now - m_lastLogged < platform::kTicksPerSecond) {
        ++m_heldBack;
        return false;
    }
    m_logged = true;
    m_lastLogged = now;
    heldBack = m_heldBack;
    m_heldBack = 0;
    return true;
}

std::wstring heldBackSuffix(std::uint64_t heldBack) {
    if (heldBack == 0)
        return std::wstring();
    return L" (" + std::to_wstring(heldBack) +
           (heldBack == 1 ? L" similar message held back)" : L" similar messages held back)");
}
