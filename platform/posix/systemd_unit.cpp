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
           "Restart=on-failure\n"
           "\n"
           "# A user of its own, no privileges beyond the two that naming the user\n"
           "# behind a connection takes: reading other users' /proc/<pid>/fd needs\n"
           "# CAP_DAC_READ_SEARCH (to list the folder) and CAP_SYS_PTRACE (to read\n"
           "# the links). The socket table comes from netlink sock_diag, which needs\n"
           "# none.\n"
           "DynamicUser=yes\n"
           "CapabilityBoundingSet=CAP_DAC_READ_SEARCH CAP_SYS_PTRACE\n"
           "AmbientCapabilities=CAP_DAC_READ_SEARCH CAP_SYS_PTRACE\n"
           "NoNewPrivileges=yes\n"
           "# The data folder (group mappings) is the one writable place.\n"
           "StateDirectory=Tarnwicket/VornClient\n"
           "StateDirectoryMode=0750\n"
           "UMask=0077\n"
           "ProtectSystem=strict\n"
           "ProtectHome=yes\n"
           "PrivateTmp=yes\n"
           "PrivateDevices=yes\n"
           "PrivateMounts=yes\n"
           "ProtectKernelTunables=yes\n"
           "ProtectKernelModules=yes\n"
           "ProtectKernelLogs=yes\n"
           "ProtectControlGroups=yes\n"
           "ProtectClock=yes\n"
           "ProtectHostname=yes\n"
           "RestrictNamespaces=yes\n"
           "RestrictRealtime=yes\n"
           "RestrictSUIDSGID=yes\n"
           "LockPersonality=yes\n"
           "MemoryDenyWriteExecute=yes\n"
           "KeyringMode=private\n"
           "RemoveIPC=yes\n"
           "# Browsers and the gateway (IPv4, and IPv6 answers of the resolver),\n"
           "# syslog, sd_notify and NSS (local sockets), the socket table (netlink).\n"
           "RestrictAddressFamilies=AF_INET AF_INET6 AF_UNIX AF_NETLINK\n"
           "SystemCallArchitectures=native\n"
           "SystemCallFilter=@system-service\n"
           "SystemCallFilter=~@privileged @resources\n"
           "SystemCallErrorNumber=EPERM\n"
           "# Not set, as the relay needs what they hide: ProtectProc= and\n"
           "# ProcSubset= (other processes' /proc entries, /proc/net/tcp),\n"
           "# PrivateUsers= (the real uids of other processes), PrivateNetwork= and\n"
           "# IPAddressDeny= (the gateway's address is configuration).\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

}  // namespace platform
