// Downloads one HTTP response as fast as a client can: one request, then
// reads to end of stream into a 256 KiB buffer and drops the bytes. Reports
// MB/s (10^6 bytes per second, whole response) per round and the median.
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"
#include "tools/loadgen/bench_net.h"

namespace {

constexpr std::size_t kBufferSize = 256 * 1024;

struct Options {
    long port = 0;
    std::string path = "/bytes/1073741824";
    std::string host = "gw.test";
    bool proxyForm = true;
    long rounds = 3;
};

// One download; MB/s, or a negative value with `failure` set.
double fetchOnce(const Options& options, std::vector<char>& buffer, std::string& failure) {
    const std::string target =
        options.proxyForm ? "http://" + options.host + options.path : options.path;
    const std::string request =
        "GET " + target + " HTTP/1.1\r\nHost: " + options.host + "\r\nConnection: close\r\n\r\n";
    const bench::Clock::time_point start = bench::Clock::now();
    toolnet::Fd fd =
        toolnet::connectLoopback(static_cast<std::uint16_t>(options.port), toolnet::kNoDelay);
    if (!fd.valid() || !toolnet::writeAll(fd.get(), request)) {
        failure = std::string("connect or send: ") + std::strerror(errno);
        return -1;
    }
    std::string head;
    std::uint64_t total = 0;
    for (;;) {
        const ssize_t got = ::recv(fd.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            failure = std::string("recv: ") + std::strerror(errno);
            return -1;
        }
        if (got == 0)
            break;
        if (head.size() < 64)
            head.append(buffer.data(), std::min<std::size_t>(static_cast<std::size_t>(got), 64));
        total += static_cast<std::uint64_t>(got);
    }
    const double seconds = bench::millisSince(start) / 1000;
    if (head.compare(0, 12, "HTTP/1.1 200") != 0 && head.compare(0, 12, "HTTP/1.0 200") != 0) {
        failure = "unexpected response: " + head.substr(0, head.find('\r'));
        return -1;
    }
    std::printf("round: %llu bytes in %.3f s, %.0f MB/s\n", static_cast<unsigned long long>(total),
                seconds, static_cast<double>(total) / seconds / 1e6);
    return static_cast<double>(total) / seconds / 1e6;
}

bool parseOptions(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.flag("--origin-form", [&] { options.proxyForm = false; })
        .number("--port", 1, 65535, options.port)
        .required()
        .number("--rounds", 1, 100, options.rounds)
        .option("--path",
                [&](const std::string& value) {
                    options.path = value;
                    return value.rfind('/', 0) == 0;  // a path on the host
                })
        .text("--host", options.host);
    return parser.parse(argc, argv, error);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr,
                     "vc-fetch: %s\n"
                     "usage: vc-fetch --port P [--path /bytes/1073741824] [--host gw.test]\n"
                     "                [--origin-form] [--rounds 3]\n"
                     "GET from 127.0.0.1:P (proxy form unless --origin-form), read to the end.\n",
                     error.c_str());
        return 2;
    }
    std::vector<char> buffer(kBufferSize);
    std::vector<double> speeds;
    for (long round = 0; round < options.rounds; ++round) {
        std::string failure;
        const double speed = fetchOnce(options, buffer, failure);
        if (speed < 0) {
            std::printf("round failed: %s\nRESULT mbps=0 failed=1\n", failure.c_str());
            return 1;
        }
        speeds.push_back(speed);
    }
    std::printf("RESULT mbps=%.0f failed=0\n", bench::percentile(speeds, 0.5));
    return 0;
}
