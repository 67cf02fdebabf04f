#include "service/command_line.h"

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "service/configure.h"
#include "service/console.h"
#include "service/installer.h"
#include "service/service_host.h"
#include "service/status_command.h"
#include "support/service_names.h"

namespace {

enum class Mode { Install, Remove, Debug, Version, Status, Configure, Dispatcher };

std::string lowerAscii(const char* text) {
    std::string out;
    for (; *text != '\0'; ++text) {
        out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(*text))));
    }
    return out;
}

Mode modeOf(int argc, char** argv) {
    if (argc < 2 || argv[1] == nullptr)
        return Mode::Dispatcher;
    const char* arg = argv[1];
    if (arg[0] != '-' && arg[0] != '/')
        return Mode::Dispatcher;
    const std::string word = lowerAscii(arg + 1);
    // "--version" is what administrators try first; "-version" and
    // "/version" follow the rule of the other switches.
    if (word == "version" || (arg[0] == '-' && word == "-version"))
        return Mode::Version;
    if (word == "install")
        return Mode::Install;
    if (word == "remove")
        return Mode::Remove;
    if (word == "debug")
        return Mode::Debug;
    if (word == "status")
        return Mode::Status;
    // Run by the installer package, so left out of the usage lines.
    if (word == "configure")
        return Mode::Configure;
    return Mode::Dispatcher;
}

void printUsage() {
    const std::string name = kServiceNameNarrow;
    consolePrint(name + " -install          to install the service\n");
    consolePrint(name + " -remove           to remove the service\n");
    consolePrint(name + " -debug <params>   to run as a console app for debugging\n");
    consolePrint(std::string("\nStartServiceCtrlDispatcher being called.\n"));
    consolePrint(std::string("This may take several seconds.  Please wait.\n"));
}

void printVersion() {
    consolePrint(std::string(kServiceNameNarrow) + " " + kProgramVersion + "\n");
}

bool runConfigure() {
    std::vector<std::wstring> args;
    if (!platform::process().commandLineArgs(args)) {
        consolePrint(std::string("configureService CommandLineToArgvW returned NULL\n"));
        return false;
    }
    // The program and the switch come first.
    args.erase(args.begin(), args.begin() + std::min<std::size_t>(2, args.size()));
    return configureService(args);
}

}  // namespace

int serviceEntry(ServiceHost& host, int argc, char** argv) {
    platform::process().prepareProcess();
    switch (modeOf(argc, argv)) {
        case Mode::Install:
            return installService() ? 0 : 1;
        case Mode::Remove:
            return removeService() ? 0 : 1;
        case Mode::Debug:
            return host.CmdDebugService() ? 0 : 1;
        case Mode::Version:
            printVersion();
            return 0;
        case Mode::Status:
            return showRelayStatus();
        case Mode::Configure:
            return runConfigure() ? 0 : 1;
        case Mode::Dispatcher:
            break;
    }
    printUsage();
    return host.startDispatcher();
}
