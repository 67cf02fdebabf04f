// Times the owner lookup of a fresh loopback connection while thousands of
// other TCP sockets are open on the machine, as on a busy workstation.
//
// This process plays the relay: it listens on 127.0.0.1 and looks up the
// owner of each connection it accepts. Three helper processes connect to it
// on command, each in turn over the rounds:
//   - a small process started after the others (a browser started late);
//   - the process that holds all the other sockets (connected pairs on
//     127.0.0.1), so the owner search has thousands of descriptors to read:
//     a browser that itself holds that many sockets;
//   - a small process started before it, which the search normally reaches
//     only after the busy one: the slow case.
// Prints median and 99th percentile in microseconds per case, for each
// number of held sockets asked for (--sockets 1000,5000), and a RESULT line
// per number for scripts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"
#include "userinfo/socket_owner.h"

namespace {

struct Options {
    std::vector<int> sockets{5000};
    int rounds = 200;
    int warmup = 5;
};

struct Figures {
    double median = 0;
    double p99 = 0;
    double cpuMedian = 0;  // this thread's CPU time, user and system
    int misses = 0;
};

// On a loaded machine wall time mostly measures waiting for a CPU; the
// thread's own CPU time shows the cost of the lookup itself.
double threadCpuMicros() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}

// The helper: opens the load, reports ready, then connects one fresh client
// per command (a port) and answers once it is connected.
[[noreturn]] void runHelper(int pairs, int readyFd, int commandFd, int replyFd) {
    std::uint16_t heldPort = 0;
    toolnet::Fd listener;
    if (pairs > 0)
        listener = toolnet::listenLoopback(heldPort, 1024);
    std::vector<toolnet::Fd> held;
    bool ok = pairs == 0 || listener.valid();
    for (int i = 0; ok && i < pairs; ++i) {
        toolnet::Fd client = toolnet::connectLoopback(heldPort);
        toolnet::Fd accepted(client.valid() ? ::accept(listener.get(), nullptr, nullptr) : -1);
        ok = client.valid() && accepted.valid();
        // Reset when this process ends: no TIME_WAIT rows for the next run.
        for (toolnet::Fd* fd : {&client, &accepted}) {
            toolnet::setResetOnClose(fd->get());
            held.push_back(std::move(*fd));
        }
    }
    const char status = ok ? 'R' : 'E';
    if (::write(readyFd, &status, 1) != 1 || !ok)
        ::_exit(1);
    toolnet::Fd fresh;
    std::uint16_t port = 0;
    while (toolnet::readExact(commandFd, &port, sizeof port)) {
        fresh.resetAbortive();  // no TIME_WAIT rows pile up over the rounds
        fresh = toolnet::connectLoopback(port);
        const char reply = fresh.valid() ? 'C' : 'E';
        if (::write(replyFd, &reply, 1) != 1)
            break;
    }
    ::_exit(0);
}

// One helper process; holds `pairs` connected pairs and connects to the
// relay on command. Helpers inherit the pipes of those started before them,
// so they must be destroyed in reverse order of starting (as locals are).
class Helper {
public:
    Helper() = default;
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;

    bool start(int pairs) {
        int ready[2], command[2], reply[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(command, O_CLOEXEC) != 0 ||
            ::pipe2(reply, O_CLOEXEC) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            ::close(ready[0]);
            ::close(command[1]);
            ::close(reply[0]);
            runHelper(pairs, ready[1], command[0], reply[1]);
        }
        ::close(ready[1]);
        ::close(command[0]);
        ::close(reply[1]);
        m_command = command[1];
        m_reply = reply[0];
        char status = 0;
        const bool ok = toolnet::readExact(ready[0], &status, 1) && status == 'R';
        ::close(ready[0]);
        return ok;
    }

    bool connectTo(std::uint16_t port) {
        char reply = 0;
        return ::write(m_command, &port, sizeof port) == static_cast<ssize_t>(sizeof port) &&
               toolnet::readExact(m_reply, &reply, 1) && reply == 'C';
    }

    std::uint32_t pid() const { return static_cast<std::uint32_t>(m_pid); }

    ~Helper() {
        if (m_command >= 0)
            ::close(m_command);  // the helper exits on end of file
        if (m_reply >= 0)
            ::close(m_reply);
        if (m_pid > 0)
            ::waitpid(m_pid, nullptr, 0);
    }

private:
    pid_t m_pid = -1;
    int m_command = -1;
    int m_reply = -1;
};

platform::SockAddr toSockAddr(const sockaddr_in& in) {
    platform::SockAddr out;
    out.family = platform::kAfInet;
    out.port = in.sin_port;
    out.addr = in.sin_addr.s_addr;
    return out;
}

platform::SockAddr loopbackAddress(std::uint16_t port) {
    sockaddr_in in{};
    in.sin_port = htons(port);
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return toSockAddr(in);
}

double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size()));
    return values[std::min(rank, values.size() - 1)];
}

// Times the lookup of connections that `helper` makes; the lookup must name
// the helper.
Figures measure(const Options& options, int listener, std::uint16_t port, Helper& helper) {
    std::vector<double> micros;
    std::vector<double> cpuMicros;
    Figures figures;
    for (int round = 0; round < options.warmup + options.rounds; ++round) {
        if (!helper.connectTo(port)) {
            ++figures.misses;
            continue;
        }
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        toolnet::Fd accepted(::accept(listener, reinterpret_cast<sockaddr*>(&peer), &len));
        if (!accepted.valid()) {
            ++figures.misses;
            continue;
        }
        const double cpuStart = threadCpuMicros();
        const auto start = std::chrono::steady_clock::now();
        platform::SocketOwner owner = 0;
        const bool found = getClientSocketPID(loopbackAddress(port), toSockAddr(peer), owner);
        const auto end = std::chrono::steady_clock::now();
        const double cpuEnd = threadCpuMicros();
        accepted.resetAbortive();  // no TIME_WAIT rows pile up over the rounds
        if (round < options.warmup)
            continue;
        // The helpers run as this process's user, who made their sockets.
        if (!found || owner != static_cast<std::uint32_t>(::geteuid()))
            ++figures.misses;
        micros.push_back(std::chrono::duration<double, std::micro>(end - start).count());
        cpuMicros.push_back(cpuEnd - cpuStart);
    }
    figures.median = percentile(micros, 0.5);
    figures.p99 = percentile(micros, 0.99);
    figures.cpuMedian = percentile(cpuMicros, 0.5);
    return figures;
}

std::uint32_t tableRows() {
    std::uint32_t size = 0;
    platform::tcpTable().getExtendedTcpTable(platform::kAfInet, nullptr, size, nullptr);
    return size >= 4 ? (size - 4) / sizeof(platform::TcpRowOwner) : 0;
}

void print(const std::string& label, const Figures& f, int rounds) {
    std::printf("  %-46s median %8.1f us, p99 %8.1f us (CPU median %8.1f us), misses %d/%d\n",
                label.c_str(), f.median, f.p99, f.cpuMedian, f.misses, rounds);
}

// A comma-separated list of socket counts, each bounded so that a run
// always ends in reasonable time.
bool parseSocketCounts(const std::string& text, std::vector<int>& counts) {
    counts.clear();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        const int n = std::atoi(text.substr(pos, comma - pos).c_str());
        if (n <= 0)
            return false;
        counts.push_back(std::max(2, std::min(n, 60000)));
        pos = comma + 1;
    }
    return !counts.empty();
}

bool parseOptions(int argc, char** argv, Options& options) {
    toolopt::OptionParser parser;
    parser
        .option("--sockets",
                [&](const std::string& value) { return parseSocketCounts(value, options.sockets); })
        .option("--rounds", [&](const std::string& value) {
            unsigned long long rounds = 0;
            if (!toolopt::parseNumber(value, 1, ~0ull, rounds))
                return false;
            options.rounds = static_cast<int>(std::min(rounds, 10000ull));  // more are cut to 10000
            return true;
        });
    std::string error;
    if (parser.parse(argc, argv, error))
        return true;
    std::fprintf(stderr, "%s: %s\nusage: %s [--sockets N[,N...]] [--rounds R]\n", argv[0],
                 error.c_str(), argv[0]);
    return false;
}

// All three cases with `sockets` held by the busy helper. The number of
// lookups that named the wrong process, or -1 when the set-up failed.
int measureWith(const Options& options, int sockets) {
    const int pairs = sockets / 2;
    // Started in this order, so that the late one is the newest process.
    Helper early;
    Helper busy;
    Helper late;
    if (!early.start(0) || !busy.start(pairs) || !late.start(0)) {
        std::fprintf(stderr, "the helpers could not open %d sockets\n", 2 * pairs);
        return -1;
    }
    std::uint16_t port = 0;
    const toolnet::Fd listener = toolnet::listenLoopback(port, 16);
    if (!listener.valid()) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return -1;
    }
    std::printf("owner lookup, %d TCP sockets held open by a helper, %u IPv4 TCP rows, %d rounds\n",
                2 * pairs, tableRows(), options.rounds);
    // The search reads processes from the highest pid down, so where a small
    // process stands relative to the busy one decides what it costs. Pids
    // can wrap around, hence the labels follow the actual pids.
    auto smallLabel = [&busy](const Helper& h) {
        return std::string(h.pid() > busy.pid() ? "client in a small process, searched first:"
                                                : "client in a small process, searched after it:");
    };
    struct Case {
        std::string label;
        Helper* helper;
    };
    const Case cases[] = {
        {smallLabel(late), &late},
        {"client in the process holding the sockets:", &busy},
        {smallLabel(early), &early},
    };
    int misses = 0;
    Figures figures[3];
    for (int i = 0; i < 3; ++i) {
        figures[i] = measure(options, listener.get(), port, *cases[i].helper);
        print(cases[i].label, figures[i], options.rounds);
        misses += figures[i].misses;
    }
    std::printf(
        "RESULT sockets=%d late_median_us=%.1f busy_median_us=%.1f busy_p99_us=%.1f "
        "busy_cpu_median_us=%.1f early_median_us=%.1f early_p99_us=%.1f misses=%d\n",
        2 * pairs, figures[0].median, figures[1].median, figures[1].p99, figures[1].cpuMedian,
        figures[2].median, figures[2].p99, misses);
    return misses;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseOptions(argc, argv, options))
        return 2;
    const int most = *std::max_element(options.sockets.begin(), options.sockets.end());
    if (!bench::raiseDescriptorLimit(static_cast<std::uint64_t>(most) + 256)) {
        std::fprintf(stderr, "cannot raise the descriptor limit to %d\n", most + 256);
        return 1;
    }
    bool ok = true;
    for (int sockets : options.sockets) {
        ok = measureWith(options, sockets) == 0 && ok;
        std::fflush(stdout);
    }
    std::printf("  target: median under 2000 us\n");
    return ok ? 0 : 1;
}
