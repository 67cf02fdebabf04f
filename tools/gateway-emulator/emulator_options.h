// Command line of the gateway emulator.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/gateway-emulator/socks_side.h"

namespace emu {

struct EmulatorOptions {
    std::string socksAddress = "127.0.0.1";  // dotted IPv4 or an IPv6 literal
    std::uint16_t socksPort = 1080;
    std::string socksPortFile;
    bool plainHttp = false;  // a second, plain HTTP listener
    std::uint16_t httpPort = 0;
    std::string httpPortFile;
    std::string identityLog;
    SocksBehaviour behaviour;
    bool showHelp = false;
};

// Parses argv[1..]; false with a message in error on a bad option.
bool parseOptions(const std::vector<std::string>& args, EmulatorOptions& options,
                  std::string& error);

const char* usageText();

}  // namespace emu
