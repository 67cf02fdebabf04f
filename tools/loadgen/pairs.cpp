// Many open tunnels at once: for each step, opens that many connections
// through the relay to the benchmark gateway (vc-echo-gateway), each sending
// one line and waiting for its echo, so that every tunnel is set up and then
// idle. With them open it measures, on the newest one, the round trip of a
// small message and the throughput of a download; it reads the relay's
// resident memory with the tunnels open and again once they are all closed
// and the relay has let go of their sockets.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"

namespace {

using bench::Clock;

const std::string kOpenLine = "open\n";
const std::string kPingLine = "ping 0123456789abcdefghijklmnop\n";  // 32 bytes

struct Options {
    long port = 0;
    long relayPid = 0;
    std::vector<long> steps{1, 512, 2047};
    long window = 64;
    long rttRounds = 200;
    long bytes = 1l << 30;
    long downloadMs = 3000;
    long timeoutMs = 120000;
};

struct OpenResult {
    double seconds = 0;
    std::vector<double> setupMs;
    long failed = 0;
    std::string firstFailure;
};

struct Opening {
    toolnet::Fd fd;
    Clock::time_point start;
    bool sent = false;
    std::string reply;
};

// Opens `count` tunnels with at most `window` being set up at a time.
class Opener {
public:
    Opener(const Options& options, std::vector<toolnet::Fd>& open, OpenResult& result)
        : m_options(options), m_open(open), m_result(result) {}

    void run(long count) {
        m_epoll = toolnet::Fd(::epoll_create1(EPOLL_CLOEXEC));
        const Clock::time_point begin = Clock::now();
        std::vector<epoll_event> events(256);
        while (m_done < count) {
            while (m_started < count && m_started - m_done < m_options.window)
                startOne();
            const int n = ::epoll_wait(m_epoll.get(), events.data(), 256, 100);
            for (int i = 0; i < n; ++i)
                serve(events[i].data.fd, events[i].events);
            if (bench::millisSince(begin) > m_options.timeoutMs) {
                abandonPending();
                break;
            }
        }
        m_result.seconds = bench::millisSince(begin) / 1000;
        m_result.failed = count - static_cast<long>(m_result.setupMs.size());
    }

private:
    void startOne() {
        ++m_started;
        auto o = std::make_unique<Opening>();
        o->start = Clock::now();
        o->fd = toolnet::connectLoopback(static_cast<std::uint16_t>(m_options.port),
                                         toolnet::kNonBlocking | toolnet::kNoDelay);
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.fd = o->fd.get();
        if (!o->fd.valid() || ::epoll_ctl(m_epoll.get(), EPOLL_CTL_ADD, ev.data.fd, &ev) != 0) {
            ++m_done;
            noteFailure(std::string("connect: ") + std::strerror(errno));
            return;
        }
        if (static_cast<std::size_t>(ev.data.fd) >= m_openings.size())
            m_openings.resize(static_cast<std::size_t>(ev.data.fd) + 1);
        m_openings[ev.data.fd] = std::move(o);
    }

    void serve(int fd, std::uint32_t events) {
        Opening& o = *m_openings[fd];
        if (!o.sent) {
            int error = 0;
            socklen_t len = sizeof error;
            ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
            if (error != 0 || !(events & EPOLLOUT) || !toolnet::writeAll(fd, kOpenLine)) {
                end(fd, std::string("connect: ") + std::strerror(error ? error : ECONNRESET));
                return;
            }
            o.sent = true;
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.fd = fd;
            ::epoll_ctl(m_epoll.get(), EPOLL_CTL_MOD, fd, &ev);
            return;
        }
        char buf[64];
        const ssize_t got = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR))
            return;
        if (got <= 0) {
            end(fd, got == 0 ? std::string("closed before the echo")
                             : std::string("recv: ") + std::strerror(errno));
            return;
        }
        o.reply.append(buf, static_cast<std::size_t>(got));
        if (o.reply.size() >= kOpenLine.size())
            end(fd, o.reply == kOpenLine ? "" : "unexpected echo: " + o.reply);
    }

    void end(int fd, const std::string& failure) {
        ::epoll_ctl(m_epoll.get(), EPOLL_CTL_DEL, fd, nullptr);
        std::unique_ptr<Opening> o = std::move(m_openings[fd]);
        ++m_done;
        if (!failure.empty()) {
            noteFailure(failure);
            o->fd.resetAbortive();
            return;
        }
        m_result.setupMs.push_back(bench::millisSince(o->start));
        m_open.push_back(std::move(o->fd));
    }

    void noteFailure(const std::string& failure) {
        if (m_result.firstFailure.empty())
            m_result.firstFailure = failure;
    }

    void abandonPending() {
        for (std::size_t fd = 0; fd < m_openings.size(); ++fd) {
            if (m_openings[fd])
                end(static_cast<int>(fd), "no echo in time");
        }
    }

    const Options& m_options;
    std::vector<toolnet::Fd>& m_open;
    OpenResult& m_result;
    toolnet::Fd m_epoll;
    long m_started = 0;
    long m_done = 0;
    std::vector<std::unique_ptr<Opening>> m_openings;  // by descriptor
};

// Round trips of a small line on a tunnel, in milliseconds.
std::vector<double> pingPong(int fd, long rounds, std::string& failure) {
    std::vector<double> millis;
    char buf[64];
    const long warmup = 10;
    for (long round = 0; round < warmup + rounds; ++round) {
        const Clock::time_point start = Clock::now();
        if (!toolnet::writeAll(fd, kPingLine)) {
            failure = std::string("send: ") + std::strerror(errno);
            return {};
        }
        for (std::size_t have = 0; have < kPingLine.size();) {
            const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                failure = got == 0 ? std::string("tunnel closed") : std::strerror(errno);
                return {};
            }
            have += static_cast<std::size_t>(got);
        }
        if (round >= warmup)
            millis.push_back(bench::millisSince(start));
    }
    return millis;
}

// MB/s (10^6 bytes per second) of a download of `bytes` that the gateway
// sends down the tunnel, measured over at most `maxMs`: a slow tunnel is
// measured on what arrived by then (the tunnel is closed afterwards anyway).
double download(int fd, long bytes, long maxMs, std::string& failure) {
    std::vector<char> buf(256 * 1024);
    const Clock::time_point start = Clock::now();
    if (!toolnet::writeAll(fd, "source " + std::to_string(bytes) + "\n")) {
        failure = std::string("send: ") + std::strerror(errno);
        return 0;
    }
    // Looks at the clock at least this often.
    toolnet::setReceiveTimeout(fd, std::chrono::milliseconds(100));
    long got = 0;
    while (got < bytes && bench::millisSince(start) < static_cast<double>(maxMs)) {
        const std::size_t want =
            std::min<std::size_t>(buf.size(), static_cast<std::size_t>(bytes - got));
        const ssize_t n = ::recv(fd, buf.data(), want, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (n <= 0) {
            failure = n == 0 ? std::string("tunnel closed") : std::strerror(errno);
            return 0;
        }
        got += n;
    }
    return static_cast<double>(got) / (bench::millisSince(start) / 1000) / 1e6;
}

double mib(long kib) {
    return static_cast<double>(kib) / 1024;
}

// Closes every tunnel and waits (bounded) until the relay holds no more
// descriptors than before they were opened. Seconds waited, or -1.
double closeAndSettle(std::vector<toolnet::Fd>& open, long relayPid, long baseline) {
    for (toolnet::Fd& fd : open)
        fd.resetAbortive();  // no TIME_WAIT rows left behind
    open.clear();
    if (relayPid <= 0)
        return 0;
    const Clock::time_point start = Clock::now();
    while (bench::openDescriptors(static_cast<int>(relayPid)) > baseline) {
        if (bench::millisSince(start) > 30000)
            return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return bench::millisSince(start) / 1000;
}

bool runStep(const Options& options, long count) {
    const int pid = static_cast<int>(options.relayPid);
    const long baseline = pid > 0 ? bench::openDescriptors(pid) : 0;
    std::vector<toolnet::Fd> open;
    OpenResult opened;
    Opener(options, open, opened).run(count);
    const long rssOpen = pid > 0 ? bench::residentKib(pid) : -1;
    std::string failure = opened.firstFailure;
    std::vector<double> rtt;
    double mbps = 0;
    if (!open.empty()) {
        const int fd = open.back().get();  // the newest tunnel
        toolnet::setNonBlocking(fd, false);
        rtt = pingPong(fd, options.rttRounds, failure);
        if (!rtt.empty())
            mbps = download(fd, options.bytes, options.downloadMs, failure);
    }
    const double settled = closeAndSettle(open, options.relayPid, baseline);
    const long rssClosed = pid > 0 ? bench::residentKib(pid) : -1;
    const double rttP50 = bench::percentile(rtt, 0.5);
    const double rttP99 = bench::percentile(rtt, 0.99);
    std::printf(
        "%5ld open: opened in %.2f s (each %.2f ms median, %.2f ms p99), %ld failed; "
        "round trip %.3f ms median, %.3f ms p99; one tunnel %.0f MB/s\n",
        count, opened.seconds, bench::percentile(opened.setupMs, 0.5),
        bench::percentile(opened.setupMs, 0.99), opened.failed, rttP50, rttP99, mbps);
    if (pid > 0) {
        std::printf("       relay RSS %.1f MiB with them open, %.1f MiB after closing",
                    mib(rssOpen), mib(rssClosed));
        if (settled < 0)
            std::printf(" (the relay still held their sockets 30 s later)\n");
        else
            std::printf(" (sockets released in %.2f s)\n", settled);
    }
    if (!failure.empty())
        std::printf("       first failure: %s\n", failure.c_str());
    std::printf(
        "RESULT pairs=%ld open_s=%.3f failed=%ld setup_p50_ms=%.2f setup_p99_ms=%.2f "
        "rtt_p50_ms=%.3f rtt_p99_ms=%.3f mbps=%.0f rss_open_kib=%ld rss_closed_kib=%ld "
        "settled=%d\n",
        count, opened.seconds, opened.failed, bench::percentile(opened.setupMs, 0.5),
        bench::percentile(opened.setupMs, 0.99), rttP50, rttP99, mbps, rssOpen, rssClosed,
        settled >= 0 ? 1 : 0);
    std::fflush(stdout);
    return opened.failed == 0 && !rtt.empty() && mbps > 0 && settled >= 0;
}

bool parseSteps(const std::string& text, std::vector<long>& steps) {
    steps.clear();
    std::size_t pos = 0;
    while (pos <= text.size()) {
        const std::size_t comma = std::min(text.find(',', pos), text.size());
        long step = 0;
        if (!bench::parseLong(text.substr(pos, comma - pos), 1, 60000, step))
            return false;
        steps.push_back(step);
        pos = comma + 1;
    }
    return !steps.empty();
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.number("--port", 1, 65535, options.port)
        .required()
        .number("--relay-pid", 1, 1l << 30, options.relayPid)
        .option("--steps",
                [&](const std::string& value) { return parseSteps(value, options.steps); })
        .number("--window", 1, 60000, options.window)
        .number("--rtt-rounds", 1, 1000000, options.rttRounds)
        .number("--bytes", 1, 1l << 40, options.bytes)
        .number("--download-ms", 1, 3600000, options.downloadMs)
        .number("--timeout-ms", 1, 3600000, options.timeoutMs);
    return parser.parse(argc, argv, error);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(
            stderr,
            "vc-pairs: %s\n"
            "usage: vc-pairs --port P [--relay-pid PID] [--steps 1,512,2047] [--window 64]\n"
            "                [--rtt-rounds 200] [--bytes 1073741824] [--download-ms 3000]\n"
            "                [--timeout-ms 120000]\n"
            "Opens tunnels through 127.0.0.1:P to vc-echo-gateway, step by step; with\n"
            "--relay-pid also reports that process's resident memory.\n",
            error.c_str());
        return 2;
    }
    long most = 0;
    for (long step : options.steps)
        most = std::max(most, step);
    if (!bench::raiseDescriptorLimit(static_cast<std::uint64_t>(most) + 256)) {
        std::fprintf(stderr, "vc-pairs: cannot raise the descriptor limit\n");
        return 1;
    }
    if (options.relayPid > 0) {
        const long rss = bench::residentKib(static_cast<int>(options.relayPid));
        std::printf("relay RSS at start: %.1f MiB\nRESULT start_rss_kib=%ld\n", mib(rss), rss);
    }
    std::printf(
        "opening %ld at a time; measuring on the newest tunnel: %ld round trips of %zu "
        "bytes, then a %.0f MiB download (for at most %.1f s)\n",
        options.window, options.rttRounds, kPingLine.size(),
        static_cast<double>(options.bytes) / 1048576,
        static_cast<double>(options.downloadMs) / 1000);
    bool ok = true;
    for (long step : options.steps)
        ok = runStep(options, step) && ok;
    return ok ? 0 : 1;
}
