#include "tools/gateway-emulator/emulator_options.h"

#include "tools/common/tool_options.h"

namespace emu {
namespace {

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
    const auto stage = [](Stage& target) {
        return [&target](const std::string& value) { return parseStage(value, target); };
    };
    toolopt::OptionParser parser;
    parser.flag("--help", [&] { options.showHelp = true; })
        .flag("-h", [&] { options.showHelp = true; })
        .flag("--split-replies", [&] { b.splitReplies = true; })
        .flag("--forward", [&] { b.forward = true; })
        .text("--address", options.socksAddress)
        .number("--port", 0, 65535, options.socksPort)
        .text("--port-file", options.socksPortFile)
        .option("--http-port",
                [&](const std::string& value) {
                    options.plainHttp = true;
                    return toolopt::parseNumber(value, 0, 65535, options.httpPort);
                })
        .text("--http-port-file", options.httpPortFile)
        .text("--identity-log", options.identityLog)
        .number("--method-version", 0, 255, b.methodVersion)
        .number("--method", 0, 255, b.method)
        .number("--auth-version", 0, 255, b.authVersion)
        .number("--auth-status", 0, 255, b.authStatus)
        .text("--diag", b.diagnostic)
        .number("--reply-version", 0, 255, b.replyVersion)
        .number("--rep", 0, 255, b.rep)
        .number("--reply-rsv", 0, 255, b.replyRsv)
        .number("--atyp", 0, 255, b.atyp)
        .option("--silent-after", stage(b.silentAfter))
        .option("--close-after", stage(b.closeAfter));
    return parser.parse(args, error);
}

}  // namespace emu
