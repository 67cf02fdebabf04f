#include "tools/gateway-emulator/emulator_options.h"

#include <cerrno>
#include <cstdlib>

namespace emu {
namespace {

bool parseNumber(const std::string& text, unsigned long max, unsigned long& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoul(text.c_str(), &end, 0);  // decimal, or 0x.. hex
    return errno == 0 && *end == '\0' && text[0] != '-' && value <= max;
}

bool parseStage(const std::string& text, Stage& stage) {
    if (text == "greeting") {
        stage = Stage::Greeting;
    } else if (text == "auth") {
        stage = Stage::Auth;
    } else if (text == "connect") {
        stage = Stage::Connect;
    } else {
        return false;
    }
    return true;
}

}  // namespace

const char* usageText() {
    return "usage: gateway-emulator [options]\n"
           "  --address A           SOCKS listener's address: dotted IPv4 or IPv6 (default\n"
           "                        127.0.0.1)\n"
           "  --port N              SOCKS port (0 picks a free one; default 1080)\n"
           "  --port-file F         write the SOCKS port to F once listening\n"
           "  --http-port N         also serve plain HTTP on 127.0.0.1:N (0 picks a free one)\n"
           "  --http-port-file F    write the plain HTTP port to F once listening\n"
           "  --identity-log F      append each identity received as a JSON line to F\n"
           "  --method-version V    VER of the method selection reply (default 5)\n"
           "  --method M            METHOD of the method selection reply (default 0x80)\n"
           "  --auth-version V      VER of the subnegotiation reply (default 1)\n"
           "  --auth-status S       0 accept, 1 reject with text, 2 accept with text\n"
           "  --diag TEXT           diagnostic text for statuses 1 and 2\n"
           "  --reply-version V     VER of the CONNECT reply (default 5)\n"
           "  --rep R               REP of the CONNECT reply (default 0)\n"
           "  --reply-rsv R         RSV of the CONNECT reply (default 0)\n"
           "  --atyp A              ATYP of the CONNECT reply (default 1)\n"
           "  --silent-after STAGE  greeting|auth|connect: read it, then never answer\n"
           "  --close-after STAGE   greeting|auth|connect: read it, then close\n"
           "  --split-replies       send each reply byte as its own segment\n"
           "  --forward             CONNECT really connects to the requested address (IPv4,\n"
           "                        IPv6 or name) and relays bytes; the CONNECT reply is the\n"
           "                        real outcome, so the reply options above do not apply\n";
}

bool parseOptions(const std::vector<std::string>& args, EmulatorOptions& options,
                  std::string& error) {
    SocksBehaviour& b = options.behaviour;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            options.showHelp = true;
            continue;
        }
        if (name == "--split-replies") {
            b.splitReplies = true;
            continue;
        }
        if (name == "--forward") {
            b.forward = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "missing value after " + name;
            return false;
        }
        const std::string& value = args[++i];
        unsigned long n = 0;
        auto byteOption = [&](std::uint8_t& field) {
            if (!parseNumber(value, 255, n))
                return false;
            field = static_cast<std::uint8_t>(n);
            return true;
        };
        bool ok = true;
        if (name == "--address") {
            options.socksAddress = value;
        } else if (name == "--port") {
            ok = parseNumber(value, 65535, n);
            options.socksPort = static_cast<std::uint16_t>(n);
        } else if (name == "--port-file") {
            options.socksPortFile = value;
        } else if (name == "--http-port") {
            ok = parseNumber(value, 65535, n);
            options.plainHttp = true;
            options.httpPort = static_cast<std::uint16_t>(n);
        } else if (name == "--http-port-file") {
            options.httpPortFile = value;
        } else if (name == "--identity-log") {
            options.identityLog = value;
        } else if (name == "--method-version") {
            ok = byteOption(b.methodVersion);
        } else if (name == "--method") {
            ok = byteOption(b.method);
        } else if (name == "--auth-version") {
            ok = byteOption(b.authVersion);
        } else if (name == "--auth-status") {
            ok = byteOption(b.authStatus);
        } else if (name == "--diag") {
            b.diagnostic = value;
        } else if (name == "--reply-version") {
            ok = byteOption(b.replyVersion);
        } else if (name == "--rep") {
            ok = byteOption(b.rep);
        } else if (name == "--reply-rsv") {
            ok = byteOption(b.replyRsv);
        } else if (name == "--atyp") {
            ok = byteOption(b.atyp);
        } else if (name == "--silent-after") {
            ok = parseStage(value, b.silentAfter);
        } else if (name == "--close-after") {
            ok = parseStage(value, b.closeAfter);
        } else {
            error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            error = "bad value for " + name + ": " + value;
            return false;
        }
    }
    return true;
}

}  // namespace emu
