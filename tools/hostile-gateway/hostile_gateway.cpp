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

bool parseNumber(const std::string& text, unsigned long long max, unsigned long long& value) {
    if (text.empty() || text[0] == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 0);
    return errno == 0 && *end == '\0' && value <= max;
}

bool parseArgs(const std::vector<std::string>& args, Options& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--never-accept") {
            o.neverAccept = true;
            continue;
        }
        if (name == "--no-read") {
            o.holding.read = false;
            continue;
        }
        if (i + 1 >= args.size())
            return false;
        const std::string& value = args[++i];
        unsigned long long n = 0;
        const bool number = parseNumber(value, ~0ull, n);
        if (name == "--port" && number && n <= 65535) {
            o.port = static_cast<std::uint16_t>(n);
        } else if (name == "--port-file") {
            o.portFile = value;
        } else if (name == "--log") {
            o.logPath = value;
        } else if (name == "--seed" && number) {
            o.plans.seed = n;
        } else if (name == "--only") {
            o.plans.fixed = true;
            if (!hg::parseBehaviour(value, o.plans.stage, o.plans.kind))
                return false;
        } else if (name == "--replay" && number && n < (1ull << 62)) {
            o.plans.replay = static_cast<std::int64_t>(n);
        } else if (name == "--backlog" && number && n <= 65535) {
            o.backlog = static_cast<int>(n);
        } else if (name == "--drive" && number && n > 0 && n <= 65535) {
            o.drive = true;
            o.driving.relayPort = static_cast<std::uint16_t>(n);
        } else if (name == "--connections" && number && n > 0 && n <= 1000000) {
            o.driving.connections = static_cast<long>(n);
        } else if (name == "--concurrency" && number && n > 0 && n <= 1000) {
            o.driving.concurrency = static_cast<int>(n);
        } else if (name == "--deadline-ms" && number && n > 0 && n <= 3600000) {
            o.driving.deadlineMs = static_cast<int>(n);
        } else if (name == "--limit-ms" && number && n > 0 && n <= 3600000) {
            o.driving.limitMs = static_cast<int>(n);
        } else if (name == "--results") {
            o.driving.resultsPath = value;
        } else if (name == "--hold" && number && n > 0 && n <= 65535) {
            o.hold = true;
            o.holding.relayPort = static_cast<std::uint16_t>(n);
        } else if (name == "--browsers" && number && n > 0 && n <= 10000) {
            o.holding.browsers = static_cast<int>(n);
        } else if (name == "--request") {
            o.holding.request = unescapeCrLf(value);
        } else if (name == "--report") {
            o.holding.reportPath = value;
        } else {
            return false;
        }
    }
    return !o.hold || !o.holding.reportPath.empty();
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
    if (!parseArgs(args, options)) {
        std::fputs(kUsage, stderr);
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
    std::string error;
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
