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
           // Started once logind runs, so that sessions are watched through it.
           "After=systemd-logind.service\n"
           "\n"
           "[Service]\n"
           "Type=notify\n"
           "ExecStart=" +
           execStartValue(programPath) +
           "\n"
           "Restart=on-failure\n"
           "\n"
           "[Install]\n"
           "WantedBy=multi-user.target\n";
}

}  // namespace platform
