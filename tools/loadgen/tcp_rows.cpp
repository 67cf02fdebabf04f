// Fills the machine's TCP table with extra rows, as a busy workstation has
// them, and holds them until it is stopped (SIGTERM, SIGINT). The rows are
// loopback connections of its own: connected pairs (two ESTABLISHED rows
// each) and a share of connections closed into TIME_WAIT (one row each, gone
// by themselves after a minute). The pairs are held by child processes, as
// many as the descriptor limit requires. Held sockets are set to close with
// a reset, so however the holders end they leave no TIME_WAIT rows behind.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"

namespace {

// Connections per listening port: well inside the ephemeral port range,
// which every connection to one port takes a port of.
constexpr long kPerListener = 16000;

struct Options {
    long rows = 0;
    long timeWaitPercent = 10;
    std::string readyFile;
};

class Rows {
public:
    // One connection to the next listener, accepted at once. False on failure.
    bool connectOne(bool timeWait) {
        if (m_made % kPerListener == 0 && !addListener())
            return false;
        const std::uint16_t port = m_ports.back();
        toolnet::Fd client = toolnet::connectLoopback(port, toolnet::kNoDelay);
        toolnet::Fd accepted(
            client.valid() ? ::accept4(m_listeners.back().get(), nullptr, nullptr, SOCK_CLOEXEC)
                           : -1);
        if (!accepted.valid())
            return false;
        ++m_made;
        if (timeWait) {
            client.reset();    // the active closer keeps the TIME_WAIT row
            accepted.reset();  // its peer's row goes once the FINs are acknowledged
            return true;
        }
        holdAbortive(std::move(client));
        holdAbortive(std::move(accepted));
        return true;
    }

private:
    bool addListener() {
        std::uint16_t port = 0;
        toolnet::Fd listener = toolnet::listenLoopback(port, 64);
        if (!listener.valid())
            return false;
        m_listeners.push_back(std::move(listener));
        m_ports.push_back(port);
        return true;
    }

    void holdAbortive(toolnet::Fd fd) {
        // Set now, so that however this process ends its sockets are reset.
        toolnet::setResetOnClose(fd.get());
        m_held.push_back(std::move(fd));
    }

    long m_made = 0;
    std::vector<toolnet::Fd> m_listeners;
    std::vector<std::uint16_t> m_ports;
    std::vector<toolnet::Fd> m_held;
};

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.number("--rows", 0, 200000, options.rows)
        .number("--time-wait-percent", 0, 100, options.timeWaitPercent)
        .text("--ready-file", options.readyFile);
    return parser.parse(argc, argv, error);
}

// Makes `pairs` held pairs and `timeWait` closed connections, the closed
// ones spread among the held ones as they come in real use. Returns the
// rows it made, or -1.
long makeRows(Rows& rows, long pairs, long timeWait) {
    const long total = pairs + timeWait;
    long closed = 0;
    for (long made = 0; made < total; ++made) {
        const bool closeIt = closed < timeWait && closed * total <= timeWait * made;
        if (!rows.connectOne(closeIt)) {
            std::fprintf(stderr, "vc-tcp-rows: connection %ld: %s\n", made, std::strerror(errno));
            return -1;
        }
        closed += closeIt ? 1 : 0;
    }
    return 2 * (total - closed) + closed;
}

// A holder process: makes its share of rows, reports on `report`, then
// waits to be killed (by the parent, or when the parent dies).
[[noreturn]] void runHolder(long pairs, long timeWait, int report, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(1);
    Rows rows;
    const bool ok = bench::raiseDescriptorLimit(static_cast<std::uint64_t>(2 * pairs + 64)) &&
                    makeRows(rows, pairs, timeWait) >= 0;
    const char status = ok ? 'R' : 'E';
    if (::write(report, &status, 1) != 1 || !ok)
        ::_exit(1);
    for (;;)
        ::pause();
}

// Held sockets that one process may have, below its hard descriptor limit.
long heldPerProcess() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    const rlim_t hard = std::min<rlim_t>(limit.rlim_max, 1u << 20);
    return std::max<long>(2, (static_cast<long>(hard) - 256) & ~1l);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr,
                     "vc-tcp-rows: %s\n"
                     "usage: vc-tcp-rows --rows N [--time-wait-percent 10] [--ready-file F]\n"
                     "Adds about N rows to the TCP table and holds them until stopped with\n"
                     "SIGTERM or SIGINT; writes a line to F (and stdout) once they exist.\n",
                     error.c_str());
        return 2;
    }
    const long timeWait = options.rows * options.timeWaitPercent / 100;
    const long pairs = (options.rows - timeWait) / 2;
    // As many holder processes as the descriptor limit requires.
    const long perProcess = heldPerProcess() / 2;
    const long processes = std::max(1l, (pairs + perProcess - 1) / perProcess);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    ::sigprocmask(SIG_BLOCK, &stop, nullptr);
    std::vector<pid_t> holders;
    bool ok = true;
    const pid_t self = ::getpid();
    for (long i = 0; ok && i < processes; ++i) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0)
            return 1;
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(report[0]);
            runHolder(pairs / processes + (i < pairs % processes ? 1 : 0),
                      timeWait / processes + (i < timeWait % processes ? 1 : 0), report[1], self);
        }
        ::close(report[1]);
        char status = 0;
        ok = pid > 0 && ::read(report[0], &status, 1) == 1 && status == 'R';
        ::close(report[0]);
        if (pid > 0)
            holders.push_back(pid);
    }
    if (ok) {
        const std::string ready = "ready rows=" + std::to_string(2 * pairs + timeWait) +
                                  " established=" + std::to_string(2 * pairs) +
                                  " time_wait=" + std::to_string(timeWait) +
                                  " processes=" + std::to_string(processes) + "\n";
        std::fputs(ready.c_str(), stdout);
        std::fflush(stdout);
        if (!options.readyFile.empty()) {
            const std::string tmp = options.readyFile + ".tmp";
            std::ofstream(tmp) << ready;
            std::rename(tmp.c_str(), options.readyFile.c_str());
        }
        int signal = 0;
        ::sigwait(&stop, &signal);
    }
    // The holders' sockets are set to reset as they close.
    for (pid_t pid : holders)
        ::kill(pid, SIGKILL);
    for (pid_t pid : holders)
        ::waitpid(pid, nullptr, 0);
    return ok ? 0 : 1;
}
