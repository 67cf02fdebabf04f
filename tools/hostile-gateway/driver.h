// Browser connections through the relay against the hostile gateway, with
// each connection's outcome checked against its gateway connection's plan.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/hostile-gateway/plan.h"

namespace hg {

// Counts the gateway's accepted connections. The driver opens one browser
// connection at a time and waits for the relay's gateway connection that
// follows, which pairs every browser connection with its plan.
class AcceptCounter {
public:
    // Called for every accepted connection; returns its index.
    std::uint64_t bump();
    std::uint64_t count();
    // True once more than `before` connections were accepted, within ms.
    bool waitBeyond(std::uint64_t before, int ms);

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_count = 0;
};

struct DriveOptions {
    std::uint16_t relayPort = 0;
    long connections = 1000;
    int concurrency = 200;
    int deadlineMs = 30000;  // a browser gives up reading after this
    int limitMs = 20000;     // every connection must have ended by then
    std::string resultsPath;
};

struct HoldOptions {
    std::uint16_t relayPort = 0;
    int browsers = 10;
    std::string request;  // sent on each connection; empty: nothing
    bool read = true;     // read each stream to its end before reporting
    int deadlineMs = 30000;
    std::string reportPath;
};

// Browsers that keep their connections open: opens them, sends the
// request, reads each stream to its end, writes one report line per
// browser ("browser N: <first line>; <bytes> bytes; <eof|reset|deadline>")
// and then holds every socket until the process is ended. One process
// holds them all, so the relay finds it as their owner.
[[noreturn]] void holdBrowsers(const HoldOptions& options);

// Prints the outcomes by behaviour and every unexpected one; 0 when all
// connections ended as their plans say and within the limit.
int drive(const DriveOptions& options, const PlanSource& plans, AcceptCounter& accepted);

}  // namespace hg
