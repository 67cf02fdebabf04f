// The systemd unit that stands for the installed service on Linux.
#pragma once

#include <string>

namespace platform {

// The folder that holds unit files: VORNCLIENT_SYSTEMD_DIR, else
// kDefaultUnitDir.
constexpr const char* kDefaultUnitDir = "/etc/systemd/system";
std::string unitDirectory();
bool usingDefaultUnitDirectory();

// "<name>.service".
std::string unitFileName(const std::string& serviceName);

// ExecStart's value for a program run without arguments: specifiers are
// escaped, and a path with blanks, quotes or backslashes is quoted.
std::string execStartValue(const std::string& programPath);

// A notify-type unit that runs the program and restarts it after a failure,
// as a transient user with only the privileges the relay needs. The package
// ships this same text (with the packaged program's path).
std::string unitFileText(const std::string& description, const std::string& programPath);

}  // namespace platform
