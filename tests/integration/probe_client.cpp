#include "tests/integration/probe_client.h"

#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "tools/common/tool_net.h"

namespace probe {

bool connectRelay(int fd, std::uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
}

bool sendIdentityRequest(int fd) {
    return toolnet::writeAll(
        fd, "GET http://gw.test/identity HTTP/1.1\r\nHost: gw.test\r\nConnection: close\r\n\r\n");
}

std::string identityAnswer(int fd) {
    toolnet::setReceiveTimeout(fd, std::chrono::seconds(30));
    std::string answer;
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0)
        answer.append(buf, static_cast<std::size_t>(n));
    if (n < 0 && errno != ECONNRESET)
        return "no end of the answer: " + std::string(std::strerror(errno));
    if (answer.empty())
        return "closed";
    const std::size_t user = answer.find("\nuser: ");
    if (user == std::string::npos)
        return "unexpected answer: " + answer.substr(0, answer.find('\r'));
    return answer.substr(user + 1, answer.find('\n', user + 1) - user - 1);
}

bool becomeUser(uid_t uid, gid_t gid) {
    return ::setgroups(0, nullptr) == 0 && ::setgid(gid) == 0 && ::setuid(uid) == 0 &&
           ::getuid() == uid;
}

void die(const char* what) {
    std::fprintf(stderr, "%s: %s\n", what, std::strerror(errno));
    ::_exit(1);
}

}  // namespace probe
