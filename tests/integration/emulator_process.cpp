#include "tests/integration/emulator_process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef VORN_GATEWAY_EMULATOR
#error "VORN_GATEWAY_EMULATOR must name the emulator binary"
#endif

extern char** environ;

namespace itest {
namespace {

constexpr int kStartTimeoutMs = 20000;
constexpr int kReceiveTimeoutSeconds = 30;

std::uint16_t readPort(const std::string& path) {
    std::ifstream in(path);
    unsigned port = 0;
    if (!(in >> port) || port > 65535)
        return 0;
    return static_cast<std::uint16_t>(port);
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

EmulatorProcess::EmulatorProcess(const std::vector<std::string>& options, bool plainHttp) {
    char pattern[] = "/tmp/vc-emulator-test.XXXXXX";
    if (!::mkdtemp(pattern))
        return;
    m_dir = pattern;
    m_identityLog = m_dir + "/identities.jsonl";
    std::vector<std::string> args{VORN_GATEWAY_EMULATOR, "--port",        "0",
                                  "--port-file",         m_dir + "/port", "--identity-log",
                                  m_identityLog};
    if (plainHttp) {
        args.insert(args.end(), {"--http-port", "0", "--http-port-file", m_dir + "/http-port"});
    }
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    if (::posix_spawn(&m_pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        m_pid = -1;
        return;
    }
    // Poll for the port files: the emulator writes them once it listens.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        std::uint16_t socks = readPort(m_dir + "/port");
        std::uint16_t http = plainHttp ? readPort(m_dir + "/http-port") : 1;
        if (socks != 0 && http != 0) {
            m_socksPort = socks;
            m_httpPort = plainHttp ? http : 0;
            return;
        }
        int status = 0;
        if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

EmulatorProcess::~EmulatorProcess() {
    if (m_pid > 0) {
        ::kill(m_pid, SIGTERM);
        int status = 0;
        ::waitpid(m_pid, &status, 0);
    }
    if (!m_dir.empty()) {
        for (const char* name : {"/port", "/http-port", "/identities.jsonl"}) {
            ::unlink((m_dir + name).c_str());
        }
        ::rmdir(m_dir.c_str());
    }
}

Client::Client(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return;
    timeval timeout{kReceiveTimeoutSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return;
    }
    m_fd = fd;
}

Client::~Client() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool Client::send(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Client::send(const std::string& text) {
    return send(std::vector<std::uint8_t>(text.begin(), text.end()));
}

std::vector<std::uint8_t> Client::receive(std::size_t n) {
    std::vector<std::uint8_t> out(n);
    std::size_t done = 0;
    while (done < n) {
        ssize_t got = ::recv(m_fd, out.data() + done, n - done, 0);
        if (got <= 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
}

std::string Client::receiveAll() {
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t got = ::recv(m_fd, buf, sizeof(buf), 0);
        if (got <= 0)
            return out;
        out.append(buf, static_cast<std::size_t>(got));
    }
}

std::string Client::receiveHttpResponse(std::string* headers) {
    std::string head;
    while (head.size() < 65536 && head.find("\r\n\r\n") == std::string::npos) {
        std::vector<std::uint8_t> byte = receive(1);
        if (byte.empty())
            return "";
        head += static_cast<char>(byte[0]);
    }
    if (headers)
        *headers = head;
    std::size_t pos = head.find("Content-Length: ");
    if (pos == std::string::npos)
        return "";
    std::size_t length = std::strtoul(head.c_str() + pos + 16, nullptr, 10);
    std::vector<std::uint8_t> body = receive(length);
    return std::string(body.begin(), body.end());
}

void Client::shutdownSend() {
    ::shutdown(m_fd, SHUT_WR);
}

}  // namespace itest
