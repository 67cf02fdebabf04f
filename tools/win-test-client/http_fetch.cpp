#include "tools/win-test-client/http_fetch.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>

namespace wintestclient {
namespace {

// Nothing this client fetches comes near it; it only keeps a runaway peer
// from filling memory.
constexpr std::size_t kMaxResponse = 16 * 1024 * 1024;

enum class Outcome { Answered, Dropped, Failed };

struct Attempt {
    Outcome outcome = Outcome::Failed;
    std::string bytes;
    std::string error;
};

class SocketGuard {
public:
    explicit SocketGuard(SOCKET s) : m_socket(s) {}
    ~SocketGuard() {
        if (m_socket != INVALID_SOCKET)
            ::closesocket(m_socket);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;
    SOCKET get() const { return m_socket; }

private:
    SOCKET m_socket;
};

std::string errorText(const char* what, int code) {
    return std::string(what) + " failed, error " + std::to_string(code);
}

// The proxy closing or resetting the connection before it said anything:
// what the relay does with a connection it could not attribute yet.
bool isDrop(int code) {
    return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN ||
           code == WSAECONNREFUSED;
}

Attempt fail(Outcome outcome, std::string error) {
    Attempt a;
    a.outcome = outcome;
    a.error = std::move(error);
    return a;
}

bool setBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    return ::ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

// A connect that gives up after the timeout instead of waiting for the
// system's own limit (a full backlog drops the handshake silently).
int connectWithin(SOCKET s, std::uint16_t port, std::uint32_t timeoutMillis) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!setBlocking(s, false))
        return WSAGetLastError();
    if (::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK)
            return error;
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval limit{};
        limit.tv_sec = static_cast<long>(timeoutMillis / 1000);
        limit.tv_usec = static_cast<long>(timeoutMillis % 1000) * 1000;
        const int n = ::select(0, nullptr, &writable, &failed, &limit);
        if (n == SOCKET_ERROR)
            return WSAGetLastError();
        if (n == 0)
            return WSAETIMEDOUT;
        int pending = 0;
        int length = sizeof pending;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&pending), &length) != 0)
            return WSAGetLastError();
        if (pending != 0)
            return pending;
    }
    return setBlocking(s, true) ? 0 : WSAGetLastError();
}

bool setTimeouts(SOCKET s, std::uint32_t timeoutMillis) {
    const DWORD limit = timeoutMillis;
    const char* value = reinterpret_cast<const char*>(&limit);
    return ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, value, sizeof limit) == 0 &&
           ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, value, sizeof limit) == 0;
}

Attempt sendRequest(SOCKET s, const std::string& request) {
    std::size_t sent = 0;
    while (sent < request.size()) {
        const int n = ::send(s, request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            return fail(isDrop(error) ? Outcome::Dropped : Outcome::Failed,
                        errorText("send()", error));
        }
        sent += static_cast<std::size_t>(n);
    }
    return Attempt{Outcome::Answered, std::string(), std::string()};
}

Attempt receiveAnswer(SOCKET s, std::uint32_t timeoutMillis) {
    Attempt a;
    char buffer[4096];
    for (;;) {
        const int n = ::recv(s, buffer, sizeof buffer, 0);
        if (n > 0) {
            a.bytes.append(buffer, static_cast<std::size_t>(n));
            if (a.bytes.size() > kMaxResponse) {
                a.outcome = Outcome::Failed;
                a.error = "answer longer than " + std::to_string(kMaxResponse) + " bytes";
                return a;
            }
            continue;
        }
        if (n == 0) {
            a.outcome = a.bytes.empty() ? Outcome::Dropped : Outcome::Answered;
            if (a.bytes.empty())
                a.error = "connection closed before any answer";
            return a;
        }
        const int error = WSAGetLastError();
        if (error == WSAETIMEDOUT) {
            a.outcome = Outcome::Failed;
            a.error = "no end of answer within " + std::to_string(timeoutMillis) + " ms (" +
                      std::to_string(a.bytes.size()) + " bytes received)";
        } else if (a.bytes.empty() && isDrop(error)) {
            a.outcome = Outcome::Dropped;
            a.error = errorText("recv()", error);
        } else {
            // Part of an answer and then a failure: not a drop to retry.
            a.outcome = Outcome::Failed;
            a.error =
                errorText("recv()", error) + " after " + std::to_string(a.bytes.size()) + " bytes";
        }
        return a;
    }
}

Attempt tryOnce(const FetchOptions& options) {
    SocketGuard s(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (s.get() == INVALID_SOCKET)
        return fail(Outcome::Failed, errorText("socket()", WSAGetLastError()));
    const int connectError = connectWithin(s.get(), options.port, options.timeoutMillis);
    if (connectError != 0) {
        return fail(isDrop(connectError) ? Outcome::Dropped : Outcome::Failed,
                    errorText("connect()", connectError));
    }
    if (!setTimeouts(s.get(), options.timeoutMillis))
        return fail(Outcome::Failed, errorText("setsockopt()", WSAGetLastError()));
    Attempt sent = sendRequest(s.get(), options.request);
    if (sent.outcome != Outcome::Answered)
        return sent;
    return receiveAnswer(s.get(), options.timeoutMillis);
}

}  // namespace

WinsockSession::WinsockSession() {
    WSADATA data;
    m_started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

WinsockSession::~WinsockSession() {
    if (m_started)
        ::WSACleanup();
}

std::string proxyGetRequest(const std::string& url) {
    std::string host;
    const std::size_t scheme = url.find("://");
    if (scheme != std::string::npos) {
        const std::size_t start = scheme + 3;
        host = url.substr(start, url.find('/', start) - start);
    }
    std::string request = "GET " + url + " HTTP/1.0\r\n";
    if (!host.empty())
        request += "Host: " + host + "\r\n";
    return request + "\r\n";
}

FetchResult fetchWithRetry(const FetchOptions& options) {
    FetchResult result;
    while (result.tries < options.maxTries) {
        ++result.tries;
        Attempt a = tryOnce(options);
        result.response = std::move(a.bytes);
        result.error = std::move(a.error);
        if (a.outcome == Outcome::Answered) {
            result.ok = true;
            return result;
        }
        if (a.outcome == Outcome::Failed)
            return result;
    }
    result.error = "gave up after " + std::to_string(result.tries) + " tries: " + result.error;
    return result;
}

std::string statusLine(const std::string& response) {
    const std::size_t end = response.find_first_of("\r\n");
    return response.substr(0, end);
}

}  // namespace wintestclient
