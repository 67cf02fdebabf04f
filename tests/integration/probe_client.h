// What the owner test programs do as a browser would: connect to the relay,
// ask for http://gw.test/identity, and read which user the gateway heard.
// They run as root and take on ordinary users' ids in child processes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace probe {

// Connects an existing socket to 127.0.0.1:port; false with errno set.
bool connectRelay(int fd, std::uint16_t port);

// Sends the request for the identity page, asking the gateway to close the
// tunnel after its answer.
bool sendIdentityRequest(int fd);

// Reads the answer to its end (30 s at most): its "user: ..." line,
// "closed" when the relay closed the connection without a byte, or what
// went wrong.
std::string identityAnswer(int fd);

// Drops root for the user's uid and gid, without supplementary groups.
bool becomeUser(uid_t uid, gid_t gid);

// Reports errno with `what` on stderr and ends the process at once.
[[noreturn]] void die(const char* what);

}  // namespace probe
