#include "tools/hostile-gateway/plan.h"

namespace hg {
namespace {

const char* const kStageNames[kStageCount] = {"method", "auth", "diag", "connect", "relay"};
const char* const kKindNames[kKindCount] = {"good",   "random", "truncated", "oversized", "split",
                                            "silent", "reset",  "close",     "flood",     "refuse"};
constexpr int kGoodPercent = 20;
constexpr std::uint64_t kMaxAnswerBody = 128 * 1024;
constexpr std::size_t kTunnelFlood = 512 * 1024;

std::string randomBytes(Rng& rng, std::size_t n) {
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(rng.next() & 0xFF);
    return out;
}

std::string answer(Rng& rng) {
    const std::uint64_t length = 1 + rng.below(kMaxAnswerBody);
    return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
           std::to_string(length) + "\r\nConnection: close\r\n\r\n" +
           randomBytes(rng, static_cast<std::size_t>(length));
}

}  // namespace

std::uint64_t Rng::next() {
    std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Plan PlanSource::at(std::uint64_t index) const {
    const std::uint64_t drawn = replay >= 0 ? static_cast<std::uint64_t>(replay) : index;
    Rng rng(seed * 0xD1B54A32D192ED03ull + drawn);
    Plan plan;
    plan.index = index;
    plan.kind = rng.below(100) < kGoodPercent ? Kind::Good
                                              : static_cast<Kind>(1 + rng.below(kKindCount - 1));
    plan.stage = static_cast<Stage>(rng.below(kStageCount));
    if (fixed) {
        plan.stage = stage;
        plan.kind = kind;
    }
    // Only the diagnostic stage needs a text; a refusal is status 1 with one.
    const bool text = plan.stage == Stage::Diag;
    plan.authStatus = static_cast<std::uint8_t>(text ? 1 + rng.below(2) : 2 * rng.below(2));
    if (plan.kind == Kind::Refuse && (plan.stage == Stage::Auth || plan.stage == Stage::Diag))
        plan.authStatus = 1;
    if (plan.kind == Kind::Good && plan.authStatus == 1)
        plan.authStatus = 2;
    plan.seed = rng.next();
    return plan;
}

const char* stageName(Stage stage) {
    return kStageNames[static_cast<int>(stage)];
}

const char* kindName(Kind kind) {
    return kKindNames[static_cast<int>(kind)];
}

bool parseBehaviour(const std::string& text, Stage& stage, Kind& kind) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    bool foundStage = false;
    bool foundKind = false;
    for (int i = 0; i < kStageCount; ++i) {
        if (text.compare(0, colon, kStageNames[i]) == 0) {
            stage = static_cast<Stage>(i);
            foundStage = true;
        }
    }
    for (int i = 0; i < kKindCount; ++i) {
        if (text.substr(colon + 1) == kKindNames[i]) {
            kind = static_cast<Kind>(i);
            foundKind = true;
        }
    }
    return foundStage && foundKind;
}

std::string describe(const Plan& plan) {
    if (plan.kind == Kind::Good)
        return std::string("good, auth status ") + std::to_string(plan.authStatus);
    return std::string(stageName(plan.stage)) + " " + kindName(plan.kind) + ", auth status " +
           std::to_string(plan.authStatus);
}

const char* outcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Relayed:
            return "relayed";
        case Outcome::Page500:
            return "page 500";
        case Outcome::Page502:
            return "page 502";
        case Outcome::Page504:
            return "page 504";
        case Outcome::Closed:
            return "closed without page";
        case Outcome::Hung:
            return "hung";
        case Outcome::Any:
            break;
    }
    return "any";
}

Outcome expectedOutcome(const Plan& plan) {
    if (plan.kind == Kind::Good)
        return Outcome::Relayed;
    if (plan.stage == Stage::Relay) {
        const bool nothingSent =
            plan.kind == Kind::Silent || plan.kind == Kind::Reset || plan.kind == Kind::Close;
        return nothingSent ? Outcome::Closed : Outcome::Relayed;
    }
    switch (plan.kind) {
        case Kind::Random:
            return Outcome::Any;
        case Kind::Split:
            return plan.authStatus == 1 ? Outcome::Closed : Outcome::Relayed;
        case Kind::Silent:
        case Kind::Truncated:
            return Outcome::Page504;  // the negotiation limit
        case Kind::Reset:
            return Outcome::Page502;  // a receive failure before relaying
        case Kind::Oversized:
            // Too long a method reply is a protocol error; stray bytes after
            // status 0 are dropped; a text or connect reply that never
            // completes runs into the negotiation limit.
            if (plan.stage == Stage::Method)
                return Outcome::Closed;
            return plan.stage == Stage::Auth ? Outcome::Relayed : Outcome::Page504;
        case Kind::Flood:
            return plan.stage == Stage::Connect ? Outcome::Page504 : Outcome::Closed;
        default:
            return Outcome::Closed;  // hang-up or refusal
    }
}

std::string tunnelBytes(const Plan& plan) {
    Rng rng(plan.seed ^ 0x5DEECE66Dull);
    const std::string good = answer(rng);
    if (plan.stage != Stage::Relay || plan.kind == Kind::Good || plan.kind == Kind::Split)
        return good;
    switch (plan.kind) {
        case Kind::Random:
            return randomBytes(rng, 1 + rng.below(4096));
        case Kind::Truncated:
            return good.substr(0, 1 + rng.below(good.size() - 1));
        case Kind::Oversized:  // more body than Content-Length says
            return good + randomBytes(rng, 1 + rng.below(4096));
        case Kind::Flood:  // no length; bounded, so that the browser's read ends
            return "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n"
                   "Connection: close\r\n\r\n" +
                   std::string(kTunnelFlood, 'X');
        case Kind::Refuse:
            return "HTTP/1.1 403 Forbidden\r\nContent-Type: text/plain\r\nContent-Length: 10\r\n"
                   "Connection: close\r\n\r\nforbidden\n";
        default:
            return "";
    }
}

}  // namespace hg
