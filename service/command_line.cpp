#include "service/command_line.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "service/configure.h"
#include "service/console.h"
#include "service/service_host.h"
#include "service/status_command.h"
#include "support/logging.h"
#include "support/service_names.h"
#include "userinfo/user_information.h"

namespace {

// The system text plus " (0x", eight hex digits, ")" and the NUL.
constexpr std::size_t kLastErrorBufferSize = 256;
constexpr std::size_t kLastErrorReserved = 14;

// The result of the most recent lastErrorText() call; main thread only.
std::wstring g_lastErrorText;

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

int runDispatcher() {
    printUsage();
    if (platform::serviceControl().startDispatcher(kServiceName, serviceMain) != 0) {
        logEvent(L"StartServiceCtrlDispatcher failed.", kEventTypeError);
        return 1;
    }
    return serviceExitCode();
}

std::wstring hexLower(std::uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(value));
    return std::wstring(digits, digits + std::char_traits<char>::length(digits));
}

}  // namespace

int serviceEntry(int argc, char** argv) {
    platform::process().prepareProcess();
    switch (modeOf(argc, argv)) {
        case Mode::Install:
            return installService() ? 0 : 1;
        case Mode::Remove:
            return removeService() ? 0 : 1;
        case Mode::Debug:
            return CmdDebugService() ? 0 : 1;
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
    return runDispatcher();
}

bool CmdDebugService() {
    g_debugMode = true;

    std::vector<std::wstring> args;
    if (!platform::process().commandLineArgs(args)) {
        consolePrint(std::string("CmdDebugService CommandLineToArgvW returned NULL\n"));
        return false;
    }
    consolePrint(std::wstring(L"Debugging ") + kServiceDisplayName + L".\n");
    platform::process().addConsoleCtrlHandler(consoleCtrlHandler);
    g_userInfo = std::make_unique<UserInformation>();
    return ServiceStart();
}

bool consoleCtrlHandler(std::uint32_t ctrlType) {
    if (ctrlType != platform::kCtrlCEvent && ctrlType != platform::kCtrlBreakEvent)
        return false;
    consolePrint(std::wstring(L"Stopping ") + kServiceDisplayName + L".\n");
    requestServerStop();
    return true;
}

std::wstring lastErrorText() {
    platform::Process& process = platform::process();
    std::wstring message;
    if (!process.formatSystemMessage(process.lastError(), message) ||
        message.size() + kLastErrorReserved > kLastErrorBufferSize) {
        g_lastErrorText.clear();
        return g_lastErrorText;
    }
    // Drop the line break that system texts end with. What remains, with the
    // code, fits the buffer: the reserve covers the longest code.
    message.resize(message.size() < 2 ? 0 : message.size() - 2);
    g_lastErrorText = message + L" (0x" + hexLower(process.lastError()) + L")";
    return g_lastErrorText;
}

void printFailure(const std::wstring& prefix, std::uint32_t error) {
    platform::process().setLastError(error);
    consolePrint(prefix + lastErrorText() + L"\n");
}
