#include "support/status_snapshot.h"

#include <charconv>
#include <sstream>

#include "support/text_conversion.h"

namespace {

const char kHeader[] = "VornClient status 1";
const char kEnd[] = "end";
constexpr std::int64_t kTicksPerMilli = 10000;

struct CounterName {
    const char* name;
    std::uint64_t RelayCounters::*value;
};

const CounterName kCounters[] = {
    {"accepted", &RelayCounters::accepted},
    {"relayed", &RelayCounters::relayed},
    {"error-pages-500", &RelayCounters::errorPages500},
    {"error-pages-502", &RelayCounters::errorPages502},
    {"error-pages-504", &RelayCounters::errorPages504},
    {"identities-refused", &RelayCounters::identitiesRefused},
    {"owners-not-found", &RelayCounters::ownersNotFound},
    {"pairs-pruned", &RelayCounters::pairsPruned},
};

// A text goes last on its line, so only what would end the line, and the
// escape itself, need escaping.
std::string escaped(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

bool unescaped(const std::string& text, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        const char c = text[i];
        if (c != '\\' && c != 'n' && c != 'r')
            return false;
        out += c == 'n' ? '\n' : c == 'r' ? '\r' : '\\';
    }
    return true;
}

// Splits the first word off `rest`, up to a single blank or the end.
std::string takeWord(std::string& rest) {
    const std::size_t blank = rest.find(' ');
    std::string word = rest.substr(0, blank);
    rest = blank == std::string::npos ? std::string() : rest.substr(blank + 1);
    return word;
}

template <typename T>
bool takeNumber(std::string& rest, T& out) {
    const std::string word = takeWord(rest);
    const char* end = word.data() + word.size();
    const auto parsed = std::from_chars(word.data(), end, out);
    return !word.empty() && parsed.ec == std::errc() && parsed.ptr == end;
}

void formatHead(std::ostringstream& out, const RelayStatus& s) {
    out << kHeader << '\n';
    out << "taken " << s.taken << '\n';
    out << "interval " << s.intervalMillis << '\n';
    out << "version " << escaped(s.version) << '\n';
    out << "started " << s.started << '\n';
    for (const std::string& address : s.listening)
        out << "listening " << escaped(address) << '\n';
    out << "gateway " << s.gatewayPort << ' ' << escaped(s.gatewayName) << '\n';
}

}  // namespace

std::string formatSnapshot(const RelayStatus& s) {
    std::ostringstream out;
    formatHead(out, s);
    for (const GatewayAddressState& a : s.gatewayAddresses) {
        out << "address " << (a.answering ? "answering " : "failing ") << a.since << ' '
            << a.address << ' ' << escaped(a.lastError) << '\n';
    }
    for (const UserConnections& u : s.users) {
        out << "user " << u.connections << ' ' << u.bytesToGateway << ' ' << u.bytesToBrowser << ' '
            << escaped(wideToUtf8(u.user)) << '\n';
    }
    for (const CounterName& counter : kCounters)
        out << "counter " << counter.name << ' ' << s.counters.*counter.value << '\n';
    out << kEnd << '\n';
    return out.str();
}

namespace {

bool parseAddress(std::string rest, RelayStatus& s) {
    GatewayAddressState a;
    const std::string state = takeWord(rest);
    a.answering = state == "answering";
    if (!a.answering && state != "failing")
        return false;
    if (!takeNumber(rest, a.since))
        return false;
    a.address = takeWord(rest);
    s.gatewayAddresses.push_back(a);
    return unescaped(rest, s.gatewayAddresses.back().lastError);
}

bool parseUser(std::string rest, RelayStatus& s) {
    UserConnections u;
    std::string name;
    if (!takeNumber(rest, u.connections) || !takeNumber(rest, u.bytesToGateway) ||
        !takeNumber(rest, u.bytesToBrowser) || !unescaped(rest, name)) {
        return false;
    }
    u.user = utf8ToWide(name);
    s.users.push_back(u);
    return true;
}

// Counters this version does not know are skipped: a newer relay may
// count more.
bool parseCounter(std::string rest, RelayStatus& s) {
    const std::string name = takeWord(rest);
    std::uint64_t value = 0;
    if (!takeNumber(rest, value))
        return false;
    for (const CounterName& counter : kCounters) {
        if (name == counter.name)
            s.counters.*counter.value = value;
    }
    return true;
}

bool parseText(std::string rest, std::vector<std::string>& list) {
    list.emplace_back();
    return unescaped(rest, list.back());
}

// One line after the header; unknown items are skipped likewise.
bool parseLine(std::string line, RelayStatus& s) {
    const std::string key = takeWord(line);
    if (key == "taken")
        return takeNumber(line, s.taken);
    if (key == "interval")
        return takeNumber(line, s.intervalMillis);
    if (key == "version")
        return unescaped(line, s.version);
    if (key == "started")
        return takeNumber(line, s.started);
    if (key == "listening")
        return parseText(line, s.listening);
    if (key == "gateway")
        return takeNumber(line, s.gatewayPort) && unescaped(line, s.gatewayName);
    if (key == "address")
        return parseAddress(line, s);
    if (key == "user")
        return parseUser(line, s);
    if (key == "counter")
        return parseCounter(line, s);
    return true;
}

}  // namespace

bool parseSnapshot(const std::string& text, RelayStatus& out) {
    out = RelayStatus();
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader)
        return false;
    bool ended = false;
    bool interval = false;
    try {
        while (!ended && std::getline(lines, line)) {
            ended = line == kEnd;
            interval = interval || line.compare(0, 9, "interval ") == 0;
            if (!ended && !parseLine(line, out))
                return false;
        }
    } catch (const std::exception&) {
        return false;  // a name that does not convert
    }
    return ended && interval && out.intervalMillis > 0;
}

bool snapshotStale(const RelayStatus& status, std::int64_t now) {
    const std::int64_t limit =
        kStaleAfterIntervals * static_cast<std::int64_t>(status.intervalMillis) * kTicksPerMilli;
    return now - status.taken >= limit;
}
