// Runs the gateway emulator as a child process for the length of a test and
// offers a small blocking client for talking to it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace itest {

class EmulatorProcess {
public:
    // Starts the emulator with --port 0 and the given extra options; waits
    // (bounded) until it reports its port.
    explicit EmulatorProcess(const std::vector<std::string>& options, bool plainHttp = false);
    ~EmulatorProcess();
    EmulatorProcess(const EmulatorProcess&) = delete;
    EmulatorProcess& operator=(const EmulatorProcess&) = delete;

    bool started() const { return m_socksPort != 0; }
    std::uint16_t socksPort() const { return m_socksPort; }
    std::uint16_t httpPort() const { return m_httpPort; }
    const std::string& identityLogPath() const { return m_identityLog; }

private:
    std::string m_dir;
    std::string m_identityLog;
    pid_t m_pid = -1;
    std::uint16_t m_socksPort = 0;
    std::uint16_t m_httpPort = 0;
};

// A blocking client socket on 127.0.0.1 with a receive timeout, so a broken
// peer fails the test instead of hanging it.
class Client {
public:
    explicit Client(std::uint16_t port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return m_fd >= 0; }
    bool send(const std::vector<std::uint8_t>& bytes);
    bool send(const std::string& text);
    // Exactly n bytes, or what arrived before end of stream / timeout.
    std::vector<std::uint8_t> receive(std::size_t n);
    // Everything until the peer closes.
    std::string receiveAll();
    // Reads one HTTP response with a Content-Length body; empty on failure.
    std::string receiveHttpResponse(std::string* headers = nullptr);
    void shutdownSend();

private:
    int m_fd = -1;
};

std::string readFile(const std::string& path);

}  // namespace itest
