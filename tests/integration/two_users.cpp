// Two ordinary users, each with N connections through the relay open at
// once: does every connection get its own user's identity? The connections
// are made in turns, one of the first user, one of the second, and so on,
// while the relay is stopped (SIGSTOP), so that it meets all of them in one
// burst with the users interleaved, whatever the machine's timing. Each
// user is a child process with the user's uid and gid; every connection
// asks for http://gw.test/identity, and for each this prints
// "user U, connection C: <the answer's user line>".
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/integration/probe_client.h"
#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"

namespace {

struct Options {
    std::uint16_t port = 0;
    pid_t relayPid = 0;
    long connections = 30;
    uid_t uid[2] = {0, 0};
    gid_t gid[2] = {0, 0};
};

// Runs as the user: each 'c' on the channel opens one more connection and
// sends its request ("k" back, or "f"); anything else reads every answer,
// writes one line each back, and ends the process.
[[noreturn]] void runUser(int channel, const Options& options, int user) {
    if (!probe::becomeUser(options.uid[user], options.gid[user]))
        probe::die("switching to the user");
    std::vector<toolnet::Fd> connections;
    char command = 0;
    while (toolnet::readExact(channel, &command, 1) && command == 'c') {
        toolnet::Fd fd(::socket(AF_INET, SOCK_STREAM, 0));
        const bool ok = fd.valid() && probe::connectRelay(fd.get(), options.port) &&
                        probe::sendIdentityRequest(fd.get());
        connections.push_back(std::move(fd));
        if (!toolnet::writeAll(channel, ok ? "k" : "f", 1))
            probe::die("answering the test");
    }
    std::string lines;
    for (std::size_t i = 0; i < connections.size(); ++i) {
        lines += "user " + std::to_string(user) + ", connection " + std::to_string(i) + ": " +
                 probe::identityAnswer(connections[i].get()) + "\n";
    }
    toolnet::writeAll(channel, lines);
    ::_exit(0);
}

// Whatever happens, the relay runs again when this ends.
class RelayPause {
public:
    explicit RelayPause(pid_t pid) : m_pid(pid) { ::kill(m_pid, SIGSTOP); }
    ~RelayPause() { resume(); }
    RelayPause(const RelayPause&) = delete;
    RelayPause& operator=(const RelayPause&) = delete;
    void resume() { ::kill(m_pid, SIGCONT); }

private:
    pid_t m_pid;
};

struct UserProcess {
    pid_t pid = -1;
    toolnet::Fd channel;
};

bool startUser(const Options& options, int user, UserProcess& out) {
    int channels[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channels) != 0)
        return false;
    std::fflush(stdout);
    out.pid = ::fork();
    if (out.pid == 0) {
        ::close(channels[0]);
        runUser(channels[1], options, user);
    }
    ::close(channels[1]);
    out.channel = toolnet::Fd(channels[0]);
    return out.pid > 0;
}

// Opens the connections in turns; false when one could not be opened.
bool connectInTurns(const Options& options, UserProcess (&users)[2]) {
    RelayPause pause(options.relayPid);
    for (long i = 0; i < options.connections; ++i) {
        for (UserProcess& user : users) {
            char ack = 0;
            if (!toolnet::writeAll(user.channel.get(), "c", 1) ||
                !toolnet::readExact(user.channel.get(), &ack, 1) || ack != 'k') {
                return false;
            }
        }
    }
    return true;
}

// Prints what a user's process wrote back, to its end.
void printAnswers(UserProcess& user) {
    toolnet::writeAll(user.channel.get(), "r", 1);
    std::string text;
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(user.channel.get(), buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    std::fputs(text.c_str(), stdout);
    int status = 0;
    ::waitpid(user.pid, &status, 0);
}

// Each user comes as --uid and --gid, the first user's first.
bool parseArgs(int argc, char** argv, Options& o, std::string& error) {
    std::vector<unsigned long long> uids, gids;
    const auto each = [](std::vector<unsigned long long>& ids) {
        return [&ids](const std::string& value) {
            ids.emplace_back();
            return toolopt::parseNumber(value, 1, 0xFFFFFFFEu, ids.back());
        };
    };
    toolopt::OptionParser parser;
    parser.number("--port", 1, 65535, o.port)
        .required()
        .number("--relay-pid", 1, 0x7FFFFFFF, o.relayPid)
        .required()
        .option("--uid", each(uids))
        .option("--gid", each(gids));
    if (!parser.parse(argc, argv, error))
        return false;
    if (uids.size() != 2 || gids.size() != 2) {
        error = "two users, each with --uid and --gid";
        return false;
    }
    for (int u = 0; u < 2; ++u) {
        o.uid[u] = static_cast<uid_t>(uids[u]);
        o.gid[u] = static_cast<gid_t>(gids[u]);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    const bool parsed = parseArgs(argc, argv, options, error);
    if (!parsed)
        std::fprintf(stderr, "vc-two-users: %s\n", error.c_str());
    if (!parsed || ::geteuid() != 0) {
        std::fprintf(stderr,
                     "usage (as root): vc-two-users --port RELAY_PORT --relay-pid PID\n"
                     "                 --uid UID1 --gid GID1 --uid UID2 --gid GID2\n");
        return 2;
    }
    UserProcess users[2];
    if (!startUser(options, 0, users[0]) || !startUser(options, 1, users[1])) {
        std::fprintf(stderr, "vc-two-users: cannot start the users' processes\n");
        return 1;
    }
    const bool connected = connectInTurns(options, users);
    for (UserProcess& user : users)
        printAnswers(user);
    if (!connected)
        std::fprintf(stderr, "vc-two-users: not every connection could be opened\n");
    return connected ? 0 : 1;
}
