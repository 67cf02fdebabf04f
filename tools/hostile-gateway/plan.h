// How one gateway connection misbehaves, chosen from a seed and the
// connection's index so that every run can be replayed, and what a browser
// must then see through the relay.
#pragma once

#include <cstdint>
#include <string>

namespace hg {

// Where in the exchange the gateway misbehaves: its method selection reply,
// its subnegotiation reply, the diagnostic text of that reply, its connect
// reply, or its answer inside the tunnel.
enum class Stage { Method, Auth, Diag, Connect, Relay };
enum class Kind { Good, Random, Truncated, Oversized, Split, Silent, Reset, Close, Flood, Refuse };
constexpr int kStageCount = 5;
constexpr int kKindCount = 10;

// splitmix64: small, fast and the same everywhere.
class Rng {
public:
    explicit Rng(std::uint64_t seed) : m_state(seed) {}
    std::uint64_t next();
    // Uniform enough in [0, n); n > 0.
    std::uint64_t below(std::uint64_t n) { return next() % n; }

private:
    std::uint64_t m_state;
};

struct Plan {
    std::uint64_t index = 0;
    Stage stage = Stage::Relay;
    Kind kind = Kind::Good;
    std::uint8_t authStatus = 0;  // 0 accept, 1 reject with text, 2 accept with text
    std::uint64_t seed = 0;       // for the bytes that the behaviour sends
};

// The plans of a run: drawn from the seed, all of one behaviour, or all a
// replay of one connection of an earlier run with the same seed.
struct PlanSource {
    std::uint64_t seed = 1;
    bool fixed = false;
    Stage stage = Stage::Relay;
    Kind kind = Kind::Good;
    std::int64_t replay = -1;

    Plan at(std::uint64_t index) const;
};

const char* stageName(Stage stage);
const char* kindName(Kind kind);
// "STAGE:KIND", e.g. "connect:oversized".
bool parseBehaviour(const std::string& text, Stage& stage, Kind& kind);
std::string describe(const Plan& plan);

// What the browser sees; Any where the random bytes decide.
enum class Outcome { Relayed, Page500, Page502, Page504, Closed, Hung, Any };
const char* outcomeName(Outcome outcome);
Outcome expectedOutcome(const Plan& plan);

// The bytes the gateway sends inside the tunnel, exactly; empty when it
// sends none.
std::string tunnelBytes(const Plan& plan);

}  // namespace hg
