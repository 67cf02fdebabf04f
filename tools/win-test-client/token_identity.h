// Who this process runs as, read from its own token and written the way the
// gateway emulator shows the identity it received, so that a test can
// compare the two.
#pragma once

#include <string>
#include <vector>

namespace wintestclient {

struct TokenGroup {
    std::string sid;   // the SID in text form, UTF-8
    std::string name;  // "DOMAIN\name", or the bare name without a domain
};

struct TokenIdentity {
    std::string user;  // "DOMAIN\name"
    std::string userSid;
    std::vector<TokenGroup> groups;  // in token order
};

// False with a reason in error when the token cannot be read.
bool readOwnToken(TokenIdentity& out, std::string& error);

// "user: ...\n", "user-sid: ...\n", "groups: N\n", then "group: <sid> <name>\n" per group.
std::string formatIdentity(const TokenIdentity& identity);

}  // namespace wintestclient
