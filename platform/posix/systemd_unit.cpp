#include "platform/posix/systemd_unit.h"

#include <cstdlib>

namespace platform {
namespace {

bool needsQuoting(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || c == '"' || c == '\'' || c == '\\' || u == 0x7F;
}

}  // namespace

std::string unitDirectory() {
    const char* dir = std::getenv("VORNCLIENT_SYSTEMD_DIR");
    if (dir == nullptr || dir[0] == '\0')
        return kDefaultUnitDir;
    return dir;
}

bool usingDefaultUnitDirectory() {
    return unitDirectory() == kDefaultUnitDir;
}

std::string unitFileName(const std::string& serviceName) {
    return serviceName + ".service";
}

std::string execStartValue(const std::string& programPath) {
    bool quote = false;
    std::string escaped;
    for (char c : programPath) {
        if (needsQuoting(c))
            quote = true;
        if (c == '%') {
            escaped += "%%";
        } else if (c == '\\' || c == '"') {
            escaped += '\\';
            escaped += c;
        } else {
            escaped += c;
        }
    }
    return quote ? "\"" + escaped + "\"" : escaped;
}

namespace {

// The least the relay needs. The owner of a connection comes from netlink
// sock_diag, which takes no privilege; no other process is looked at.
const char kSandbox[] = R"(# A user of its own and no privilege at all.
DynamicUser=yes
CapabilityBoundingSet=
AmbientCapabilities=
NoNewPrivileges=yes
# 2,047 connection pairs of two sockets each, with room to spare; a soft
# limit below the hard one is raised at start.
LimitNOFILE=16384
# The data folder (group mappings) is the one writable place.
StateDirectory=Tarnwicket/VornClient
StateDirectoryMode=0750
UMask=0077
ProtectSystem=strict
ProtectHome=yes
PrivateTmp=yes
PrivateDevices=yes
PrivateMounts=yes
# Its own /proc entries are all it reads (/proc/self/net/tcp without
# sock_diag).
ProtectProc=invisible
ProcSubset=pid
ProtectKernelTunables=yes
ProtectKernelModules=yes
ProtectKernelLogs=yes
ProtectControlGroups=yes
ProtectClock=yes
ProtectHostname=yes
RestrictNamespaces=yes
RestrictRealtime=yes
RestrictSUIDSGID=yes
LockPersonality=yes
MemoryDenyWriteExecute=yes
KeyringMode=private
RemoveIPC=yes
# Browsers and the gateway (IPv4, and IPv6 answers of the resolver),
# syslog, sd_notify and NSS (local sockets), the socket table (netlink).
RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK
SystemCallArchitectures=native
SystemCallFilter=@system-service
SystemCallFilter=~@privileged @resources
# Raising its own descriptor limit to the hard one.
SystemCallFilter=setrlimit prlimit64
SystemCallErrorNumber=EPERM
# Not set, as the relay needs what they take away: PrivateUsers= (the uids
# that made other users' sockets), PrivateNetwork= and IPAddressDeny= (the
# gateway's address is configuration).
)";

}  // namespace

std::string unitFileText(const std::string& description, const std::string& programPath) {
    return "[Unit]\n"
           "Description=" +
           description +
           "\n"
           "Documentation=man:vornclient(8)\n"
           // Started once logind runs, so that sessions are watched through it.
           "After=network.target systemd-logind.service\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           execStartValue(programPath) +
           "\n"
           // Back after a crash, but not in a tight loop if it crashes at once.
           "Restart=on-failure\n"
           "RestartSec=5s\n"
           "\n" +
           kSandbox +
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

}  // namespace platform
