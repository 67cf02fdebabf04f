// A message that a local user can cause once per connection (an owner not
// found, a session that cannot be read, the pair limit, a failed accept) is
// logged at most once a second, so that nobody can flood the event log or
// bury the messages around it. The next one logged says how many were held
// back meanwhile.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

class MessageRateLimit {
public:
    // True when the message may be logged now; heldBack then says how many
    // were refused since the last one that was logged.
    bool admit(std::uint64_t& heldBack);

private:
    std::mutex m_mutex;
    bool m_logged = false;
    std::int64_t m_lastLogged = 0;
    std::uint64_t m_heldBack = 0;
};

// "" for none, else " (N similar messages held back)".
std::wstring heldBackSuffix(std::uint64_t heldBack);
