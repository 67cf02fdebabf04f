#include "tools/hostile-gateway/gateway_side.h"

#include <algorithm>
#include <chrono>

namespace hg {
namespace {

constexpr std::chrono::seconds kSocketTimeout(60);  // no thread outlives a vanished peer by much
constexpr int kTunnelSilenceMs = 2000;
constexpr std::size_t kConnectOverflow = 70000;  // more than the relay's reply buffer
constexpr std::size_t kFloodChunk = 64 * 1024;
constexpr std::size_t kSplitTunnelPrefix = 256;
constexpr std::size_t kMaxRequestHead = 16 * 1024;

// A stage's message as a good gateway sends it, and as each misbehaviour
// bends it.
struct StageMessages {
    std::string valid;
    std::string refused;
    std::string oversized;
    std::string floodHead;
    std::size_t keep = 0;  // leading bytes still sent before a cut, silence or hang-up
};

std::string randomBytes(Rng& rng, std::size_t n) {
    std::string out(n, '\0');
    for (char& c : out)
        c = static_cast<char>(rng.next() & 0xFF);
    return out;
}

std::string authReply(std::uint8_t status, const std::string& text) {
    std::string reply{'\x01', static_cast<char>(status)};
    if (status == 1 || status == 2) {
        reply += static_cast<char>(text.size() >> 8);
        reply += static_cast<char>(text.size() & 0xFF);
        reply += text;
    }
    return reply;
}

std::string diagnosticText(const Plan& plan, Rng& rng) {
    std::string text = "policy " + std::to_string(plan.index) + ": ";
    text.append(rng.below(200), 'a' + static_cast<char>(plan.index % 26));
    return text;
}

StageMessages messagesFor(Stage stage, const Plan& plan, Rng& rng) {
    StageMessages m;
    switch (stage) {
        case Stage::Method:
            m.valid = std::string("\x05\x80", 2);
            m.refused = std::string("\x05\xFF", 2);
            m.oversized = m.valid + randomBytes(rng, 1 + rng.below(8));
            m.floodHead = m.valid;
            break;
        case Stage::Auth:
        case Stage::Diag: {
            const std::string text = diagnosticText(plan, rng);
            const char status = static_cast<char>(plan.authStatus);
            m.valid = authReply(plan.authStatus, text);
            m.refused = authReply(1, text);
            if (stage == Stage::Auth) {
                m.oversized = authReply(0, "") + randomBytes(rng, 1 + rng.below(8));
                m.floodHead = plan.authStatus == 0 ? std::string("\x01\x00", 2)
                                                   : std::string("\x01") + status + "\xFF\xFF";
            } else {
                m.keep = 4;  // the header with the length; the text is what gets bent
                m.oversized = std::string("\x01") + status + "\xFF\xFF" + text;
                m.floodHead = std::string("\x01") + status + "\xFF\xFF";
            }
            break;
        }
        case Stage::Connect: {
            const std::string head("\x05\x00\x00\x01", 4);
            m.valid = head + std::string("\x7F\x00\x00\x01\x1F\x90", 6);
            m.refused = m.valid;
            m.refused[1] = static_cast<char>(1 + rng.below(8));
            m.oversized = head + randomBytes(rng, kConnectOverflow);
            m.floodHead = head;
            break;
        }
        case Stage::Relay:
            break;
    }
    return m;
}

// Random bytes that are never a complete, valid connect reply.
std::string randomReply(Stage stage, const StageMessages& m, Rng& rng) {
    const std::size_t bent = m.valid.size() - m.keep;
    std::string out = m.valid.substr(0, m.keep) + randomBytes(rng, 1 + rng.below(2 * bent + 8));
    if (stage == Stage::Connect && out.size() == 10 && out.compare(0, 4, m.floodHead) == 0)
        out[1] = '\x01';
    return out;
}

void flood(int fd, const std::string& head) {
    if (!toolnet::writeAll(fd, head))
        return;
    const std::string chunk(kFloodChunk, 'X');
    while (toolnet::writeAll(fd, chunk)) {
    }
}

// Sends one stage's message as the plan says. False when the exchange ends
// here; the socket is then closed or left to the relay to close.
bool playStage(toolnet::Fd& fd, Stage stage, const Plan& plan, Rng& rng, BehaviourLog& log) {
    const StageMessages m = messagesFor(stage, plan, rng);
    if (plan.kind == Kind::Good || plan.stage != stage)
        return toolnet::writeAll(fd.get(), m.valid);
    const std::string acted = "conn " + std::to_string(plan.index) + ": acted";
    const std::string kept = m.valid.substr(0, m.keep);
    switch (plan.kind) {
        case Kind::Split: {
            const bool sent = writeBytewise(fd.get(), m.valid);
            log.line(acted);
            return sent;
        }
        case Kind::Reset:
        case Kind::Close:
            toolnet::writeAll(fd.get(), kept);
            log.line(acted);
            if (plan.kind == Kind::Reset)
                fd.resetAbortive();
            fd.reset();
            return false;
        case Kind::Flood:
            log.line(acted);
            flood(fd.get(), m.floodHead);
            return false;
        case Kind::Random:
            toolnet::writeAll(fd.get(), randomReply(stage, m, rng));
            break;
        case Kind::Truncated: {
            const std::size_t low = std::max<std::size_t>(m.keep, 1);
            toolnet::writeAll(fd.get(), m.valid.substr(0, low + rng.below(m.valid.size() - low)));
            break;
        }
        case Kind::Oversized:
            toolnet::writeAll(fd.get(), m.oversized);
            if (stage == Stage::Auth) {
                // Stray bytes after status 0 are dropped: the exchange goes on.
                log.line(acted);
                return true;
            }
            break;
        case Kind::Refuse:
            toolnet::writeAll(fd.get(), m.refused);
            break;
        default:  // silent
            toolnet::writeAll(fd.get(), kept);
            break;
    }
    log.line(acted);
    drainUntilEof(fd.get());  // the relay decides when this ends
    return false;
}

// The answer inside the tunnel; the gateway then hangs up, so that every
// relaying connection ends.
void playTunnel(toolnet::Fd& fd, const Plan& plan, BehaviourLog& log) {
    const std::string bytes = tunnelBytes(plan);
    const Kind kind = plan.stage == Stage::Relay ? plan.kind : Kind::Good;
    switch (kind) {
        case Kind::Silent:
            drainFor(fd.get(), kTunnelSilenceMs);
            break;
        case Kind::Reset:
            fd.resetAbortive();
            break;
        case Kind::Split: {
            const std::size_t head = std::min(bytes.size(), kSplitTunnelPrefix);
            if (writeBytewise(fd.get(), bytes.substr(0, head)))
                toolnet::writeAll(fd.get(), bytes.substr(head));
            break;
        }
        default:
            toolnet::writeAll(fd.get(), bytes);
            break;
    }
    if (plan.stage == Stage::Relay && plan.kind != Kind::Good)
        log.line("conn " + std::to_string(plan.index) + ": acted");
    fd.reset();
}

bool readGreeting(int fd) {
    std::uint8_t head[2];
    return toolnet::readExact(fd, head, 2) && head[0] == 5 && skipBytes(fd, head[1]);
}

bool readU16(int fd, std::size_t& value) {
    std::uint8_t b[2];
    if (!toolnet::readExact(fd, b, 2))
        return false;
    value = static_cast<std::size_t>((b[0] << 8) | b[1]);
    return true;
}

// The identity subnegotiation packet, read to its end and dropped.
bool readIdentity(int fd) {
    std::uint8_t head[2];
    std::size_t len = 0;
    std::size_t groups = 0;
    if (!toolnet::readExact(fd, head, 2) || !skipBytes(fd, head[1]) || !readU16(fd, len) ||
        !skipBytes(fd, len) || !readU16(fd, groups)) {
        return false;
    }
    for (std::size_t i = 0; i < 2 * groups; ++i) {  // GID, then GNAME
        if (!readU16(fd, len) || !skipBytes(fd, len))
            return false;
    }
    return true;
}

bool readConnectRequest(int fd) {
    std::uint8_t request[10];
    return toolnet::readExact(fd, request, sizeof(request)) && request[0] == 5 && request[3] == 1;
}

bool readRequestHead(int fd) {
    std::string head;
    char c = 0;
    while (head.size() < kMaxRequestHead && toolnet::readExact(fd, &c, 1)) {
        head += c;
        if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0)
            return true;
    }
    return false;
}

}  // namespace

BehaviourLog::~BehaviourLog() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

bool BehaviourLog::open(const std::string& path) {
    m_file = std::fopen(path.c_str(), "a");
    return m_file != nullptr;
}

void BehaviourLog::line(const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_file == nullptr)
        return;
    std::fprintf(m_file, "%s\n", text.c_str());
    std::fflush(m_file);
}

void serveConnection(toolnet::Fd fd, const Plan& plan, BehaviourLog& log) {
    toolnet::setTimeouts(fd.get(), kSocketTimeout);
    log.line("conn " + std::to_string(plan.index) + ": " + describe(plan));
    Rng rng(plan.seed);
    if (!readGreeting(fd.get()) || !playStage(fd, Stage::Method, plan, rng, log))
        return;
    if (!readIdentity(fd.get()))
        return;
    // The diagnostic stage bends the text of the same reply.
    const Stage reply = plan.stage == Stage::Diag ? Stage::Diag : Stage::Auth;
    if (!playStage(fd, reply, plan, rng, log))
        return;
    if (plan.authStatus == 1) {
        drainUntilEof(fd.get());  // rejected: the relay hangs up
        return;
    }
    if (!readConnectRequest(fd.get()) || !playStage(fd, Stage::Connect, plan, rng, log))
        return;
    if (readRequestHead(fd.get()))
        playTunnel(fd, plan, log);
}

}  // namespace hg
