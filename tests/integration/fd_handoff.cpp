// A socket made by an ordinary user, handed to this (root) process, whose
// maker then lets go of it: whose connection does the relay think it is?
// For each case a child process takes on the user's uid and gid; a thread of
// it with a descriptor table of its own (unshare(CLONE_FILES), so the
// socket is not among the process's descriptors) makes the socket, connects
// it to the relay or not, passes a copy over a Unix socket (SCM_RIGHTS) and
// then closes its own copy or ends its whole process. This process keeps
// the copy, connects it when the maker did not, asks the relay for
// http://gw.test/identity and prints "<case>: <the answer's user line>", or
// "<case>: closed" when the relay closed the connection unanswered.
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tests/integration/probe_client.h"
#include "tools/common/tool_net.h"
#include "tools/common/tool_options.h"

namespace {

struct Options {
    std::uint16_t port = 0;
    uid_t uid = 0;
    gid_t gid = 0;
};

struct Case {
    const char* name;
    bool makerConnects;  // the maker connects before handing the socket over
    bool makerExits;     // its process ends instead of closing its copy
};

const Case kCases[] = {
    {"closed before connecting", false, false},
    {"exited before connecting", false, true},
    {"closed after connecting", true, false},
    {"exited after connecting", true, true},
};

bool sendDescriptor(int channel, int fd) {
    char byte = 'f';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fd, sizeof(int));
    return ::sendmsg(channel, &msg, MSG_NOSIGNAL) == 1;
}

toolnet::Fd receiveDescriptor(int channel) {
    char byte = 0;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    if (::recvmsg(channel, &msg, MSG_CMSG_CLOEXEC) != 1)
        return toolnet::Fd();
    const cmsghdr* cmsg = CMSG_FIRSTHDR(&msg);
    if (cmsg == nullptr || cmsg->cmsg_type != SCM_RIGHTS)
        return toolnet::Fd();
    int fd = -1;
    std::memcpy(&fd, CMSG_DATA(cmsg), sizeof(int));
    return toolnet::Fd(fd);
}

// The thread that makes the socket; it shares nothing of its descriptors
// with the rest of its process from the start.
void makeAndHandOver(int channel, const Options& options, const Case& c) {
    if (::unshare(CLONE_FILES) != 0)
        probe::die("unshare(CLONE_FILES)");
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        probe::die("socket");
    if (c.makerConnects && !probe::connectRelay(fd, options.port))
        probe::die("connect");
    if (!sendDescriptor(channel, fd))
        probe::die("sendmsg");
    if (c.makerExits)
        ::_exit(0);
    ::close(fd);
    if (!toolnet::writeAll(channel, "c", 1))
        probe::die("write");
}

// The child process: the user's, from here on.
[[noreturn]] void runMaker(int channel, const Options& options, const Case& c) {
    if (!probe::becomeUser(options.uid, options.gid))
        probe::die("switching to the user");
    std::thread(makeAndHandOver, channel, std::cref(options), std::cref(c)).join();
    // Lives on without the socket until the test process lets it go.
    char byte = 0;
    toolnet::readExact(channel, &byte, 1);
    ::_exit(0);
}

bool childEnded(pid_t pid) {
    int status = 0;
    return ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string runCase(const Options& options, const Case& c) {
    int channels[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channels) != 0)
        return "socketpair failed";
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channels[0]);
        runMaker(channels[1], options, c);
    }
    ::close(channels[1]);
    toolnet::Fd channel(channels[0]);
    if (pid < 0)
        return "fork failed";
    toolnet::Fd sock = receiveDescriptor(channel.get());
    char ack = 0;
    const bool released =
        c.makerExits ? childEnded(pid) : toolnet::readExact(channel.get(), &ack, 1);
    std::string outcome;
    if (!sock.valid() || !released)
        outcome = "the maker failed";
    else if (!c.makerConnects && !probe::connectRelay(sock.get(), options.port))
        outcome = "connect failed";
    else if (!probe::sendIdentityRequest(sock.get()))
        outcome = errno == ECONNRESET || errno == EPIPE ? "closed" : "send failed";
    else
        outcome = probe::identityAnswer(sock.get());
    channel.reset();  // a maker that lives on ends now
    if (!c.makerExits && !childEnded(pid))
        outcome += " (the maker failed)";
    return outcome;
}

bool parseArgs(int argc, char** argv, Options& options, std::string& error) {
    toolopt::OptionParser parser;
    parser.number("--port", 1, 65535, options.port)
        .required()
        .number("--uid", 1, 0xFFFFFFFEu, options.uid)
        .required()
        .number("--gid", 1, 0xFFFFFFFEu, options.gid)
        .required();
    return parser.parse(argc, argv, error);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    std::string error;
    const bool parsed = parseArgs(argc, argv, options, error);
    if (!parsed)
        std::fprintf(stderr, "vc-fd-handoff: %s\n", error.c_str());
    if (!parsed || ::geteuid() != 0) {
        std::fprintf(stderr,
                     "usage (as root): vc-fd-handoff --port RELAY_PORT --uid UID --gid GID\n");
        return 2;
    }
    for (const Case& c : kCases)
        std::printf("%s: %s\n", c.name, runCase(options, c).c_str());
    return 0;
}
