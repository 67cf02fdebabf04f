// The running relay's state as `vornclient -status` shows it: taken by the
// loop, written to the data folder by a thread of its own every few seconds,
// and read back by the status command, which may run as another program
// version. The file is UTF-8 text, one item per line, numbers in decimal.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One of the gateway's addresses, as far as the relay has tried it.
struct GatewayAddressState {
    std::string address;     // "192.0.2.7:1080", "[2001:db8::7]:1080"
    bool answering = false;  // else it failed last
    std::int64_t since = 0;  // ticks: when it started answering or failing
    std::string lastError;   // why it failed last; empty if it never did
};

// The open connections of one user.
struct UserConnections {
    std::wstring user;  // "DOMAIN\name"; empty while (or when) none is known
    std::uint64_t connections = 0;
    std::uint64_t bytesToGateway = 0;
    std::uint64_t bytesToBrowser = 0;
};

// Counts since the relay started.
struct RelayCounters {
    std::uint64_t accepted = 0;
    std::uint64_t relayed = 0;
    std::uint64_t errorPages500 = 0;
    std::uint64_t errorPages502 = 0;
    std::uint64_t errorPages504 = 0;
    std::uint64_t identitiesRefused = 0;
    std::uint64_t ownersNotFound = 0;
    std::uint64_t pairsPruned = 0;
};

struct RelayStatus {
    std::int64_t taken = 0;  // ticks of the system clock
    // How often the relay renews it; several times that without a renewal
    // means that no relay runs.
    std::uint32_t intervalMillis = 0;
    std::string version;
    std::int64_t started = 0;  // ticks
    std::vector<std::string> listening;
    std::string gatewayName;
    std::uint16_t gatewayPort = 0;
    std::vector<GatewayAddressState> gatewayAddresses;
    std::vector<UserConnections> users;  // in the order of their names
    RelayCounters counters;
};

// A snapshot renewed this many intervals ago, or longer, is stale.
constexpr std::int64_t kStaleAfterIntervals = 5;

// The file's text. Throws what wideToUtf8 throws for a user name that is
// not valid UTF-16.
std::string formatSnapshot(const RelayStatus& status);
// False when the text is not a whole snapshot (cut short, another format).
bool parseSnapshot(const std::string& text, RelayStatus& out);
// Whether the relay that wrote it has stopped renewing it by `now` (ticks).
bool snapshotStale(const RelayStatus& status, std::int64_t now);
