// The TCP sockets from /proc/net/tcp (IPv4) and /proc/net/tcp6 (IPv6), for
// kernels without sock_diag.
#pragma once

#include <istream>
#include <string>

#include "platform/posix/tcp_socket_entry.h"

namespace platform {
namespace posix {

// One data line ("  0: 0100007F:1F90 00000000:0000 0A ... uid timeout inode
// ..."); false for the header or a malformed line.
bool parseProcNetTcpLine(const std::string& line, std::uint16_t family, TcpSocketEntry& out);

// Every parsable line after the header.
void parseProcNetTcp(std::istream& in, std::uint16_t family, std::vector<TcpSocketEntry>& out);

// 0 or an errno value; out is replaced only on success.
int readProcNetTcp(const std::string& path, std::uint16_t family, std::vector<TcpSocketEntry>& out);

}  // namespace posix
}  // namespace platform
