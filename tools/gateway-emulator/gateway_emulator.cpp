// Gateway emulator: the gateway's side of the relay's SOCKS5 protocol, and a
// small web server behind it, for integration tests, the demo and benchmarks.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/gateway-emulator/emulator_options.h"
#include "tools/gateway-emulator/forward.h"
#include "tools/gateway-emulator/http_side.h"
#include "tools/gateway-emulator/identity.h"
#include "tools/gateway-emulator/net_io.h"
#include "tools/gateway-emulator/socks_side.h"

namespace {

constexpr int kMaxConnections = 8192;
constexpr int kBacklog = 1024;
constexpr std::chrono::seconds kIdleReceive(300);  // frees threads of peers that vanish

std::atomic<int> g_connections{0};

std::string peerText(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof(addr);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return "";
    char ip[INET6_ADDRSTRLEN] = {};
    if (addr.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        ::inet_ntop(AF_INET6, &v6->sin6_addr, ip, sizeof(ip));
        return "[" + std::string(ip) + "]:" + std::to_string(ntohs(v6->sin6_port));
    }
    const auto* v4 = reinterpret_cast<const sockaddr_in*>(&addr);
    ::inet_ntop(AF_INET, &v4->sin_addr, ip, sizeof(ip));
    return std::string(ip) + ":" + std::to_string(ntohs(v4->sin_port));
}

void handleConnection(toolnet::Fd fd, bool socks, const emu::SocksBehaviour& behaviour,
                      emu::IdentityLog& log) {
    toolnet::setReceiveTimeout(fd.get(), kIdleReceive);
    emu::Reader reader(fd.get());
    if (!socks) {
        emu::serveHttp(reader, fd.get(), nullptr);
    } else {
        emu::Identity identity;
        toolnet::Fd upstream;
        bool open = emu::runSocksHandshake(reader, fd.get(), behaviour, identity, log,
                                           peerText(fd.get()), upstream);
        if (open && behaviour.forward) {
            emu::relayBothWays(reader, fd.get(), upstream);
        } else if (open) {
            emu::serveHttp(reader, fd.get(), &identity);
        }
    }
    --g_connections;
}

void blockStopSignals(sigset_t& set) {
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

[[noreturn]] void waitForStopSignal(sigset_t set) {
    int signal = 0;
    sigwait(&set, &signal);
    std::fprintf(stderr, "gateway-emulator: stopping on signal %d\n", signal);
    std::fflush(stderr);
    std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
    emu::EmulatorOptions options;
    std::string error;
    if (!emu::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::fprintf(stderr, "gateway-emulator: %s\n%s", error.c_str(), emu::usageText());
        return 2;
    }
    if (options.showHelp) {
        std::fputs(emu::usageText(), stdout);
        return 0;
    }

    sigset_t stopSignals;
    blockStopSignals(stopSignals);  // inherited by every thread started below
    std::thread(waitForStopSignal, stopSignals).detach();

    emu::IdentityLog log;
    if (!options.identityLog.empty() && !log.open(options.identityLog)) {
        std::fprintf(stderr, "gateway-emulator: cannot open %s: %s\n", options.identityLog.c_str(),
                     std::strerror(errno));
        return 1;
    }

    std::vector<toolnet::Fd> listeners;
    std::vector<bool> isSocks;
    std::uint16_t port = options.socksPort;
    listeners.push_back(toolnet::listenOn(options.socksAddress, port, kBacklog, error));
    if (!listeners.back().valid() || !toolnet::writePortFile(options.socksPortFile, port)) {
        std::fprintf(stderr, "gateway-emulator: SOCKS listener: %s\n", error.c_str());
        return 1;
    }
    isSocks.push_back(true);
    std::printf("gateway-emulator: SOCKS5 on 127.0.0.1:%u\n", port);
    if (options.plainHttp) {
        port = options.httpPort;
        listeners.push_back(toolnet::listenLoopback(port, kBacklog, error));
        if (!listeners.back().valid() || !toolnet::writePortFile(options.httpPortFile, port)) {
            std::fprintf(stderr, "gateway-emulator: HTTP listener: %s\n", error.c_str());
            return 1;
        }
        isSocks.push_back(false);
        std::printf("gateway-emulator: plain HTTP on 127.0.0.1:%u\n", port);
    }
    std::fflush(stdout);

    std::vector<pollfd> fds;
    for (const toolnet::Fd& l : listeners)
        fds.push_back(pollfd{l.get(), POLLIN, 0});
    for (;;) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::perror("gateway-emulator: poll");
            return 1;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            toolnet::Fd conn(::accept4(fds[i].fd, nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn.valid())
                continue;
            if (g_connections.load() >= kMaxConnections)
                continue;  // closes it
            ++g_connections;
            toolnet::setNoDelay(conn.get());
            std::thread(handleConnection, std::move(conn), static_cast<bool>(isSocks[i]),
                        std::cref(options.behaviour), std::ref(log))
                .detach();
        }
    }
}
