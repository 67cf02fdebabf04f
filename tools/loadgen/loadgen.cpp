// Opens many short HTTP connections and reports the rate of completed
// connections and the time from the connect call to the first response byte.
// Each connection: connect, send one request, read the whole response, close.
// Closed loop (default): a number of clients, each starting its next
// connection when the previous one has ended. Open loop (--rate): new
// connections start at a fixed rate whatever the earlier ones are doing.
// With --hold-sockets the process first opens that many sockets and keeps
// them for the whole run, as a browser with thousands of sockets would.
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"
#include "tools/loadgen/paced_load.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::uint16_t port = 0;
    int clients = 50;
    long connections = 5000;
    long durationMs = 20000;
    long timeoutMs = 30000;  // per receive
    std::string host = "gw.test";
    std::string path = "/hello";
    bool proxyForm = true;
    double rate = 0;  // open loop when above 0
    long holdSockets = 0;
};

struct Shared {
    std::atomic<long> claimed{0};
    std::atomic<long> failed{0};
    std::mutex mutex;
    std::vector<double> ttfbMs;
    std::string firstFailure;
};

// One connection; on success the time to first byte in milliseconds.
bool runOne(const Options& options, const std::string& request, double& ttfbMs,
            std::string& failure) {
    Clock::time_point start = Clock::now();
    toolnet::Fd sock = toolnet::connectLoopback(options.port, toolnet::kNoDelay, failure);
    if (!sock.valid())
        return false;
    toolnet::setReceiveTimeout(sock.get(), std::chrono::milliseconds(options.timeoutMs));
    if (!toolnet::writeAll(sock.get(), request)) {
        failure = std::string("send: ") + std::strerror(errno);
        return false;
    }
    std::string head;
    char buf[4096];
    bool first = true;
    for (;;) {
        ssize_t n = ::recv(sock.get(), buf, sizeof(buf), 0);
        if (n < 0) {
            failure = std::string("recv: ") + std::strerror(errno);
            return false;
        }
        if (n == 0)
            break;
        if (first) {
            ttfbMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
            first = false;
        }
        if (head.size() < 64)
            head.append(buf, static_cast<std::size_t>(n));
    }
    if (head.compare(0, 12, "HTTP/1.1 200") != 0 && head.compare(0, 12, "HTTP/1.0 200") != 0) {
        failure = "unexpected response: " + head.substr(0, head.find('\r'));
        return false;
    }
    return true;
}

std::string requestText(const Options& options) {
    std::string target = options.proxyForm ? "http://" + options.host + options.path : options.path;
    return "GET " + target + " HTTP/1.1\r\nHost: " + options.host + "\r\nConnection: close\r\n\r\n";
}

void clientLoop(const Options& options, Shared& shared, Clock::time_point deadline) {
    const std::string request = requestText(options);
    std::vector<double> local;
    while (Clock::now() < deadline && shared.claimed.fetch_add(1) < options.connections) {
        double ttfb = 0;
        std::string failure;
        if (runOne(options, request, ttfb, failure)) {
            local.push_back(ttfb);
        } else if (shared.failed.fetch_add(1) == 0) {
            std::lock_guard<std::mutex> lock(shared.mutex);
            shared.firstFailure = failure;
        }
    }
    std::lock_guard<std::mutex> lock(shared.mutex);
    shared.ttfbMs.insert(shared.ttfbMs.end(), local.begin(), local.end());
}

double percentile(std::vector<double>& sorted, double p) {
    if (sorted.empty())
        return 0;
    std::size_t index = static_cast<std::size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(index, sorted.size() - 1)];
}

bool parseArgs(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.flag("--origin-form", [&] { options.proxyForm = false; })
        .number("--port", 1, 65535, options.port)
        .required()
        .number("--clients", 1, 1000, options.clients)
        .number("--connections", 1, LONG_MAX, options.connections)
        .number("--duration-ms", 1, LONG_MAX, options.durationMs)
        .number("--timeout-ms", 1, LONG_MAX, options.timeoutMs)
        .number("--hold-sockets", 1, 1000000, options.holdSockets)
        .number("--rate", 1, 100000, options.rate)
        .text("--host", options.host)
        .option("--path", [&](const std::string& value) {
            options.path = value;
            return value.rfind('/', 0) == 0;  // a path on the host
        });
    return parser.parse(argc, argv, error);
}

// Unconnected TCP sockets, held until the process ends; false when not all
// could be opened.
bool holdSockets(long count, std::vector<toolnet::Fd>& held) {
    bench::raiseDescriptorLimit(static_cast<std::uint64_t>(count) + 1024);
    held.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        toolnet::Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            std::fprintf(stderr, "vc-loadgen: socket %ld of %ld: %s\n", i + 1, count,
                         std::strerror(errno));
            return false;
        }
        held.push_back(std::move(fd));
    }
    // Whoever waits for the sockets to be held reads this line.
    std::printf("holding %ld sockets\n", count);
    std::fflush(stdout);
    return true;
}

int runOpenLoop(const Options& options) {
    PacedOptions paced;
    paced.port = options.port;
    paced.rate = options.rate;
    paced.connections = options.connections;
    paced.timeoutMs = options.timeoutMs;
    paced.request = requestText(options);
    bench::raiseDescriptorLimit(static_cast<std::uint64_t>(options.connections) + 256);
    const PacedResult r = runPaced(paced);
    const double p50 = bench::percentile(r.setupMs, 0.5);
    const double p99 = bench::percentile(r.setupMs, 0.99);
    const double max = bench::percentile(r.setupMs, 1);
    const double lateP99 = bench::percentile(r.latenessMs, 0.99);
    std::printf("offered: %.0f connections/s, %ld connections (started at %.0f/s), in %.2f s\n",
                options.rate, options.connections, r.startedPerSecond, r.seconds);
    std::printf("connections: %ld ok, %ld failed; at most %ld at once\n", r.ok, r.failed,
                r.maxInFlight);
    std::printf("setup (connect to first byte): median %.3f ms, p99 %.3f ms, max %.3f ms\n", p50,
                p99, max);
    std::printf("starts behind schedule: p99 %.3f ms\n", lateP99);
    if (r.failed > 0)
        std::printf("first failure: %s\n", r.firstFailure.c_str());
    std::printf(
        "RESULT ok=%ld failed=%ld offered=%.0f started=%.0f median_ms=%.3f p99_ms=%.3f "
        "max_ms=%.3f late_p99_ms=%.3f\n",
        r.ok, r.failed, options.rate, r.startedPerSecond, p50, p99, max, lateP99);
    return r.failed == 0 && r.ok > 0 ? 0 : 1;
}

int runClosedLoop(const Options& options) {
    Shared shared;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline = start + std::chrono::milliseconds(options.durationMs);
    std::vector<std::thread> clients;
    for (int i = 0; i < options.clients; ++i) {
        clients.emplace_back(clientLoop, std::cref(options), std::ref(shared), deadline);
    }
    for (std::thread& t : clients)
        t.join();
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::vector<double>& ttfb = shared.ttfbMs;
    std::sort(ttfb.begin(), ttfb.end());
    long ok = static_cast<long>(ttfb.size());
    long failed = shared.failed.load();
    double rate = seconds > 0 ? static_cast<double>(ok) / seconds : 0;
    std::printf("clients: %d, connections: %ld ok, %ld failed, in %.2f s\n", options.clients, ok,
                failed, seconds);
    std::printf("rate: %.0f connections/s\n", rate);
    std::printf("time to first byte: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                percentile(ttfb, 0.5), percentile(ttfb, 0.99), percentile(ttfb, 1));
    if (failed > 0)
        std::printf("first failure: %s\n", shared.firstFailure.c_str());
    std::printf("RESULT ok=%ld failed=%ld rate=%.0f median_ms=%.3f p99_ms=%.3f max_ms=%.3f\n", ok,
                failed, rate, percentile(ttfb, 0.5), percentile(ttfb, 0.99), percentile(ttfb, 1));
    return failed == 0 && ok > 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseArgs(argc, argv, options, error)) {
        std::fprintf(
            stderr,
            "vc-loadgen: %s\n"
            "usage: vc-loadgen --port P [--clients 50] [--connections 5000]\n"
            "                  [--duration-ms 20000] [--timeout-ms 30000] [--host gw.test]\n"
            "                  [--path /hello]\n"
            "                  [--origin-form] [--rate R] [--hold-sockets N]\n"
            "Connects to 127.0.0.1:P; requests are in proxy form unless --origin-form.\n"
            "With --rate, R connections start per second (open loop) until\n"
            "--connections have started; --clients and --duration-ms are then unused.\n"
            "With --hold-sockets, N unconnected sockets stay open for the whole run.\n",
            error.c_str());
        return 2;
    }
    std::vector<toolnet::Fd> held;
    if (options.holdSockets > 0 && !holdSockets(options.holdSockets, held))
        return 1;
    if (options.rate > 0)
        return runOpenLoop(options);
    return runClosedLoop(options);
}
