// The identity that a relay announces in the subnegotiation of method 0x80,
// its parser (the packet is untrusted input) and its text and JSON forms.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/gateway-emulator/net_io.h"

namespace emu {

struct GroupEntry {
    std::string sid;
    std::string name;
};

struct Identity {
    std::uint8_t version = 0;
    std::string org;
    std::string user;
    std::vector<GroupEntry> groups;
};

// Upper bound on the packet size that the parser accepts; a packet claiming
// more is refused before its bytes are read.
constexpr std::uint64_t kMaxIdentityPacket = 16u * 1024u * 1024u;

enum class ParseResult { Ok, Eof, BadVersion, TooLarge };

// Reads one subnegotiation packet. VER must be 1.
ParseResult readIdentity(Reader& reader, Identity& out);

// JSON string literal of UTF-8 text; invalid UTF-8 becomes U+FFFD.
std::string jsonString(const std::string& utf8);
std::string identityJson(const Identity& identity, const std::string& peer);
std::string identityText(const Identity& identity);

// Appends one JSON line per identity to a file; a single write per line.
class IdentityLog {
public:
    bool open(const std::string& path);
    void append(const Identity& identity, const std::string& peer);

private:
    std::mutex m_mutex;
    toolnet::Fd m_fd;
};

}  // namespace emu
