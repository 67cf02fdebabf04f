// A SOCKS5 gateway that breaks the protocol on purpose: for every relay
// connection it picks, from a seed and the connection's number, a stage of
// the exchange and a way to misbehave there. With --drive it also plays the
// browsers, pushing connections through the relay and checking what each
// one saw against its plan.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/hostile-gateway/driver.h"
#include "tools/hostile-gateway/gateway_side.h"
#include "tools/hostile-gateway/plan.h"

namespace {

struct Options {
    std::uint16_t port = 0;
    std::string portFile;
    std::string logPath;
    int backlog = 1024;
    bool neverAccept = false;
    bool drive = false;
    bool hold = false;
    hg::PlanSource plans;
    hg::DriveOptions driving;
    hg::HoldOptions holding;
};

const char kUsage[] =
    "usage: hostile-gateway [options]\n"
    "  --port N            listen on 127.0.0.1:N (0 picks a free port; default 0)\n"
    "  --port-file F       write the port to F once listening\n"
    "  --log F             append each connection's behaviour to F\n"
    "  --seed S            seed of the behaviours (default 1)\n"
    "  --only STAGE:KIND   every connection behaves so; STAGE is method, auth, diag,\n"
    "                      connect or relay; KIND is good, random, truncated,\n"
    "                      oversized, split, silent, reset, close, flood or refuse\n"
    "  --replay N          every connection behaves as connection N of the seed did\n"
    "  --backlog N         listen backlog (default 1024)\n"
    "  --never-accept      listen, but never accept: connections stay queued\n"
    "  --drive PORT        also open browser connections to the relay on PORT,\n"
    "                      check each outcome, print a summary and exit\n"
    "  --connections N     browser connections (default 1000)\n"
    "  --concurrency N     browser connections at a time (default 200)\n"
    "  --deadline-ms N     a browser stops reading after N ms (default 30000)\n"
    "  --limit-ms N        every browser connection must end within N ms (default 20000)\n"
    "  --results F         write one line per browser connection to F\n"
    "Browsers that hold their connections open, instead of a gateway:\n"
    "  --hold PORT         open browser connections to the relay on PORT, read each\n"
    "                      stream to its end, write a report, keep them open until ended\n"
    "  --browsers N        how many (default 10)\n"
    "  --request TEXT      what each sends first (\\r\\n for CR LF; default nothing)\n"
    "  --no-read           report at once, without reading\n"
    "  --report F          one line per browser: first line, bytes, how the stream ended\n";

std::string unescapeCrLf(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 4, "\\r\\n") == 0) {
            out += "\r\n";
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool parseArgs(const std::vector<std::string>& args, Options& o, std::string& error) {
    hg::DriveOptions& d = o.driving;
    hg::HoldOptions& h = o.holding;
    toolopt::OptionParser parser;
    parser.flag("--never-accept", [&] { o.neverAccept = true; })
        .flag("--no-read", [&] { h.read = false; })
        .number("--port", 0, 65535, o.port)
        .text("--port-file", o.portFile)
        .text("--log", o.logPath)
        .number("--seed", 0, ~0ull, o.plans.seed)
        .option("--only",
                [&](const std::string& value) {
                    o.plans.fixed = true;
                    return hg::parseBehaviour(value, o.plans.stage, o.plans.kind);
                })
        .number("--replay", 0, (1ull << 62) - 1, o.plans.replay)
        .number("--backlog", 0, 65535, o.backlog)
        .option("--drive",
                [&](const std::string& value) {
                    o.drive = true;
                    return toolopt::parseNumber(value, 1, 65535, d.relayPort);
                })
        .number("--connections", 1, 1000000, d.connections)
        .number("--concurrency", 1, 1000, d.concurrency)
        .number("--deadline-ms", 1, 3600000, d.deadlineMs)
        .number("--limit-ms", 1, 3600000, d.limitMs)
        .text("--results", d.resultsPath)
        .option("--hold",
                [&](const std::string& value) {
                    o.hold = true;
                    return toolopt::parseNumber(value, 1, 65535, h.relayPort);
                })
        .number("--browsers", 1, 10000, h.browsers)
        .option("--request",
                [&](const std::string& value) {
                    h.request = unescapeCrLf(value);
                    return true;
                })
        .text("--report", h.reportPath);
    if (!parser.parse(args, error))
        return false;
    if (o.hold && h.reportPath.empty()) {
        error = "--hold needs --report";
        return false;
    }
    return true;
}

void acceptLoop(int listener, const hg::PlanSource& plans, hg::AcceptCounter& accepted,
                hg::BehaviourLog& log) {
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of resources: give the running connections time to end.
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            continue;
        }
        const hg::Plan plan = plans.at(accepted.bump());
        std::thread(hg::serveConnection, toolnet::Fd(fd), plan, std::ref(log)).detach();
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    std::string error;
    if (!parseArgs(args, options, error)) {
        std::fprintf(stderr, "hostile-gateway: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (options.hold)
        hg::holdBrowsers(options.holding);

    static hg::BehaviourLog log;  // outlives the detached connection threads
    if (!options.logPath.empty() && !log.open(options.logPath)) {
        std::fprintf(stderr, "hostile-gateway: cannot open %s: %s\n", options.logPath.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::uint16_t port = options.port;
    toolnet::Fd listener = toolnet::listenLoopback(port, options.backlog, error);
    if (!listener.valid() || !toolnet::writePortFile(options.portFile, port)) {
        std::fprintf(stderr, "hostile-gateway: %s\n", error.c_str());
        return 1;
    }
    if (options.neverAccept) {
        for (;;)
            ::pause();  // until a signal ends the process
    }
    static hg::AcceptCounter accepted;
    if (!options.drive) {
        acceptLoop(listener.get(), options.plans, accepted, log);
        return 0;
    }
    std::thread(acceptLoop, listener.get(), std::cref(options.plans), std::ref(accepted),
                std::ref(log))
        .detach();
    const int rc = hg::drive(options.driving, options.plans, accepted);
    std::fflush(stdout);
    // Connection threads may still be flooding or draining: end without
    // running destructors under them.
    std::_Exit(rc);
}
