// Open-loop load: new connections start at a fixed rate whatever happens to
// the ones already running, as independent browsers would start them. One
// thread, non-blocking sockets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PacedOptions {
    std::uint16_t port = 0;
    double rate = 500;  // connections started per second
    long connections = 2500;
    long timeoutMs = 30000;  // per connection
    std::string request;     // sent once connected; the response is read to its end
};

struct PacedResult {
    long ok = 0;
    long failed = 0;
    double seconds = 0;              // first start to last completion
    double startedPerSecond = 0;     // achieved start rate
    std::vector<double> setupMs;     // connect call to first response byte
    std::vector<double> latenessMs;  // how late each start was against its schedule
    long maxInFlight = 0;
    std::string firstFailure;
};

PacedResult runPaced(const PacedOptions& options);
