#include "platform/posix/proc_net_tcp.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/types.h"

namespace platform {
namespace posix {
namespace {

// Exactly `digits` hex digits (or any number when digits is 0) that fit.
bool parseHex(const std::string& text, std::size_t digits, std::uint64_t& value) {
    if (text.empty() || text.size() > 16 || (digits != 0 && text.size() != digits))
        return false;
    value = 0;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else
            return false;
        value = value << 4 | static_cast<std::uint64_t>(v);
    }
    return true;
}

// "0100007F:1F90" (tcp) or 32 digits before the colon (tcp6): the address
// as the kernel's in-memory (network order) 32-bit words, each printed in
// hex, the port as a host-order number.
bool parseEndpoint(const std::string& text, std::uint16_t family,
                   std::array<std::uint8_t, 16>& addr, std::uint32_t& port) {
    const std::size_t colon = text.find(':');
    const std::size_t words = family == kAfInet6 ? 4 : 1;
    if (colon != words * 8)
        return false;
    for (std::size_t i = 0; i < words; ++i) {
        std::uint64_t word = 0;
        if (!parseHex(text.substr(i * 8, 8), 8, word))
            return false;
        const std::uint32_t value = static_cast<std::uint32_t>(word);
        std::memcpy(addr.data() + i * 4, &value, 4);
    }
    std::uint64_t p = 0;
    if (!parseHex(text.substr(colon + 1), 4, p))
        return false;
    port = hostToNet16(static_cast<std::uint16_t>(p));
    return true;
}

bool parseDecimal(const std::string& text, std::uint64_t limit, std::uint64_t& value) {
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

}  // namespace

bool parseProcNetTcpLine(const std::string& line, std::uint16_t family, TcpSocketEntry& out) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode))
        return false;
    if (slot.empty() || slot.back() != ':')
        return false;
    TcpSocketEntry entry;
    entry.family = family;
    std::uint64_t linuxState = 0;
    std::uint64_t uidValue = 0;
    if (!parseEndpoint(local, family, entry.localAddr, entry.localPort) ||
        !parseEndpoint(remote, family, entry.remoteAddr, entry.remotePort) ||
        !parseHex(state, 2, linuxState) || !parseDecimal(uid, 0xFFFFFFFFu, uidValue) ||
        !parseDecimal(inode, ~std::uint64_t{0}, entry.inode))
        return false;
    entry.state = mibStateFromLinux(static_cast<unsigned>(linuxState));
    entry.uid = static_cast<std::uint32_t>(uidValue);
    out = entry;
    return true;
}

void parseProcNetTcp(std::istream& in, std::uint16_t family, std::vector<TcpSocketEntry>& out) {
    std::string line;
    while (std::getline(in, line)) {
        TcpSocketEntry entry;
        if (parseProcNetTcpLine(line, family, entry))
            out.push_back(entry);
    }
}

int readProcNetTcp(const std::string& path, std::uint16_t family,
                   std::vector<TcpSocketEntry>& out) {
    std::ifstream in(path);
    if (!in)
        return errno != 0 ? errno : ENOENT;
    std::vector<TcpSocketEntry> entries;
    parseProcNetTcp(in, family, entries);
    if (in.bad())
        return EIO;
    out.swap(entries);
    return 0;
}

}  // namespace posix
}  // namespace platform
