#include "tools/hostile-gateway/driver.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>
#include <vector>

#include "tools/common/tool_net.h"

namespace hg {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kGatewayWaitMs = 5000;
constexpr int kOutcomeCount = 6;  // Relayed .. Hung
constexpr int kMaxReported = 20;

struct Result {
    long index = 0;
    bool paired = false;
    Plan plan;
    Outcome expected = Outcome::Any;
    Outcome got = Outcome::Hung;
    std::string end;  // eof, reset, deadline, error
    std::size_t bytes = 0;
    long ms = 0;
    long openedAtMs = 0;  // since the run started
    bool ok = false;
    std::string why;
};

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Reads until the relay ends the stream or the deadline passes.
std::string readAll(int fd, Clock::time_point deadline, std::string& end) {
    std::string received;
    char buf[65536];
    for (;;) {
        const long left = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
        if (left <= 0) {
            end = "deadline";
            return received;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r == 0)
            continue;  // the deadline check above ends it
        const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
        if (n > 0) {
            received.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            end = "eof";
            return received;
        } else if (errno != EINTR) {
            end = errno == ECONNRESET ? "reset" : "error";
            return received;
        }
    }
}

Outcome classify(const std::string& received, const std::string& end) {
    if (end == "deadline")
        return Outcome::Hung;
    if (received.empty())
        return Outcome::Closed;
    const std::pair<const char*, Outcome> pages[] = {{"HTTP/1.0 500 ", Outcome::Page500},
                                                     {"HTTP/1.0 502 ", Outcome::Page502},
                                                     {"HTTP/1.0 504 ", Outcome::Page504}};
    for (const auto& page : pages) {
        if (received.compare(0, 13, page.first) == 0)
            return page.second;
    }
    return Outcome::Relayed;
}

void judge(Result& r, const std::string& received, const DriveOptions& options) {
    r.got = classify(received, r.end);
    r.bytes = received.size();
    if (!r.paired) {
        r.why = "the relay never connected to the gateway";
        return;
    }
    r.expected = expectedOutcome(r.plan);
    if (r.expected != Outcome::Any && r.got != r.expected) {
        r.why = std::string("expected ") + outcomeName(r.expected);
    } else if (r.got == Outcome::Relayed && received != tunnelBytes(r.plan)) {
        r.why = "relayed bytes differ from what the gateway sent";
    } else if (r.got != Outcome::Closed && r.got != Outcome::Hung && r.end != "eof") {
        r.why = "stream ended by " + r.end + ", not by its end";
    } else if (r.got == Outcome::Hung || r.ms > options.limitMs) {
        r.why = "not ended within " + std::to_string(options.limitMs) + " ms";
    } else {
        r.ok = true;
    }
}

Result runOne(long index, const DriveOptions& options, const PlanSource& plans,
              AcceptCounter& accepted, std::mutex& opener, Clock::time_point runStart) {
    Result r;
    r.index = index;
    const std::string request = "GET http://gw.test/hostile/" + std::to_string(index) +
                                " HTTP/1.1\r\nHost: gw.test\r\nConnection: close\r\n\r\n";
    toolnet::Fd fd;
    Clock::time_point start;
    {
        // One browser connection at a time until its gateway connection
        // shows up; only then is it known which plan it meets.
        std::lock_guard<std::mutex> lock(opener);
        const std::uint64_t before = accepted.count();
        start = Clock::now();
        std::string error;
        fd = toolnet::connectLoopback(options.relayPort, 0, error);
        if (!fd.valid() || !toolnet::writeAll(fd.get(), request)) {
            r.end = "error";
            r.why = "browser connection failed: " + error;
            return r;
        }
        r.paired = accepted.waitBeyond(before, kGatewayWaitMs);
        r.plan = plans.at(before);
        r.openedAtMs = msSince(runStart);
    }
    const std::string received =
        readAll(fd.get(), start + std::chrono::milliseconds(options.deadlineMs), r.end);
    r.ms = msSince(start);
    judge(r, received, options);
    return r;
}

std::string label(const Plan& plan) {
    if (plan.kind == Kind::Good)
        return "good";
    return std::string(stageName(plan.stage)) + " " + kindName(plan.kind);
}

std::string resultLine(const Result& r) {
    char line[512];
    std::snprintf(line, sizeof(line),
                  "browser %ld, gateway conn %llu (%s): got %s, %zu bytes, %s after %ld ms%s%s",
                  r.index, static_cast<unsigned long long>(r.plan.index), describe(r.plan).c_str(),
                  outcomeName(r.got), r.bytes, r.end.c_str(), r.ms,
                  r.ok ? "" : "; WRONG: ", r.why.c_str());
    return line;
}

void printSummary(const std::vector<Result>& results, const PlanSource& plans,
                  const DriveOptions& options, long elapsedMs) {
    std::map<std::string, std::vector<int>> rows;  // label -> outcome counts, then wrong
    long slowest = 0;
    long slowestIndex = -1;
    long lastOpened = 0;
    for (const Result& r : results) {
        std::vector<int>& row = rows[label(r.plan)];
        row.resize(kOutcomeCount + 1);
        ++row[static_cast<int>(r.got)];
        row[kOutcomeCount] += r.ok ? 0 : 1;
        lastOpened = std::max(lastOpened, r.openedAtMs);
        if (r.ms > slowest) {
            slowest = r.ms;
            slowestIndex = r.index;
        }
    }
    std::printf("connections: %zu, %d at a time, seed %llu, all done after %.1f s\n",
                results.size(), options.concurrency, static_cast<unsigned long long>(plans.seed),
                static_cast<double>(elapsedMs) / 1000.0);
    std::printf("last browser connection paired with its gateway connection after %.1f s\n",
                static_cast<double>(lastOpened) / 1000.0);
    std::printf("slowest connection: browser %ld, %.1f s (limit %.1f s)\n", slowestIndex,
                static_cast<double>(slowest) / 1000.0,
                static_cast<double>(options.limitMs) / 1000.0);
    std::printf("%-20s %7s %8s %8s %8s %8s %7s %6s\n", "behaviour", "relayed", "page 500",
                "page 502", "page 504", "closed", "hung", "WRONG");
    for (const auto& row : rows) {
        const std::vector<int>& c = row.second;
        std::printf("%-20s %7d %8d %8d %8d %8d %7d %6d\n", row.first.c_str(), c[0], c[1], c[2],
                    c[3], c[4], c[5], c[6]);
    }
}

}  // namespace

std::uint64_t AcceptCounter::bump() {
    std::lock_guard<std::mutex> lock(m_mutex);
    const std::uint64_t index = m_count++;
    m_changed.notify_all();
    return index;
}

std::uint64_t AcceptCounter::count() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_count;
}

bool AcceptCounter::waitBeyond(std::uint64_t before, int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                              [&] { return m_count > before; });
}

void holdBrowsers(const HoldOptions& options) {
    std::vector<toolnet::Fd> browsers;
    std::string report;
    for (int i = 0; i < options.browsers; ++i) {
        std::string error;
        toolnet::Fd fd = toolnet::connectLoopback(options.relayPort, 0, error);
        if (!fd.valid() || !toolnet::writeAll(fd.get(), options.request))
            report += "browser " + std::to_string(i) + ": not connected: " + error + "\n";
        browsers.push_back(std::move(fd));
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(options.deadlineMs);
    for (std::size_t i = 0; options.read && i < browsers.size(); ++i) {
        if (!browsers[i].valid())
            continue;
        std::string end;
        const std::string received = readAll(browsers[i].get(), deadline, end);
        report += "browser " + std::to_string(i) + ": " +
                  received.substr(0, received.find("\r\n")) + "; " +
                  std::to_string(received.size()) + " bytes; " + end + "\n";
    }
    // Whole or not at all, for the reader waiting for the file.
    const std::string tmp = options.reportPath + ".tmp";
    std::ofstream(tmp, std::ios::trunc) << report;
    std::rename(tmp.c_str(), options.reportPath.c_str());
    for (;;)
        ::pause();  // the sockets stay open until a signal ends the process
}

int drive(const DriveOptions& options, const PlanSource& plans, AcceptCounter& accepted) {
    std::vector<Result> results(static_cast<std::size_t>(options.connections));
    std::atomic<long> next{0};
    std::mutex opener;
    const Clock::time_point start = Clock::now();
    std::vector<std::thread> browsers;
    for (int i = 0; i < options.concurrency; ++i) {
        browsers.emplace_back([&] {
            for (long index = next++; index < options.connections; index = next++) {
                results[static_cast<std::size_t>(index)] =
                    runOne(index, options, plans, accepted, opener, start);
            }
        });
    }
    for (std::thread& t : browsers)
        t.join();
    const long elapsed = msSince(start);

    std::FILE* out =
        options.resultsPath.empty() ? nullptr : std::fopen(options.resultsPath.c_str(), "w");
    int wrong = 0;
    for (const Result& r : results) {
        const std::string line = resultLine(r);
        if (out != nullptr)
            std::fprintf(out, "%s\n", line.c_str());
        if (!r.ok && ++wrong <= kMaxReported)
            std::printf("%s\n", line.c_str());
    }
    if (out != nullptr)
        std::fclose(out);
    printSummary(results, plans, options, elapsed);
    if (wrong > 0) {
        std::printf(
            "%d connection(s) ended wrongly; replay one with --seed %llu --replay <gateway conn>\n",
            wrong, static_cast<unsigned long long>(plans.seed));
    }
    return wrong == 0 ? 0 : 1;
}

}  // namespace hg
