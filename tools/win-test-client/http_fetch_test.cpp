// The test client against a scripted loopback proxy that drops, answers or
// ignores each connection in turn.
#include "tools/win-test-client/http_fetch.h"

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <string>
#include <thread>
#include <vector>

namespace {

using wintestclient::FetchOptions;
using wintestclient::FetchResult;

// Upper bound for every wait of the scripted proxy, so a failing test ends.
constexpr DWORD kServerLimitMillis = 10000;

enum class Action {
    CloseAtOnce,        // close without reading the request
    CloseAfterRequest,  // read the request, then close without a word
    Answer,             // read the request, send the answer, close
    Ignore,             // read the request and wait for the client to give up
};

class ScriptedProxy {
public:
    ScriptedProxy(std::vector<Action> script, std::string answer)
        : m_script(std::move(script)), m_answer(std::move(answer)) {
        m_listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof at;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            ::listen(m_listener, 8) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
            return;
        }
        m_port = ntohs(at.sin_port);
        m_thread = std::thread([this] { serve(); });
    }

    ~ScriptedProxy() {
        join();
        ::closesocket(m_listener);
    }

    std::uint16_t port() const { return m_port; }
    // Waits until the script has been played (or its waits ran out); the
    // accessors below are valid after that.
    void join() {
        if (m_thread.joinable())
            m_thread.join();
    }
    int connections() const { return m_connections; }
    const std::vector<std::string>& requests() const { return m_requests; }

private:
    void serve() {
        for (Action action : m_script) {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(m_listener, &readable);
            timeval limit{kServerLimitMillis / 1000, 0};
            if (::select(0, &readable, nullptr, nullptr, &limit) != 1)
                return;
            const SOCKET s = ::accept(m_listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return;
            ++m_connections;
            handle(s, action);
            ::closesocket(s);
        }
    }

    void handle(SOCKET s, Action action) {
        if (action == Action::CloseAtOnce)
            return;
        const DWORD limit = kServerLimitMillis;
        ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit),
                     sizeof limit);
        m_requests.push_back(readRequest(s));
        if (action == Action::Answer) {
            ::send(s, m_answer.data(), static_cast<int>(m_answer.size()), 0);
        } else if (action == Action::Ignore) {
            char byte;
            ::recv(s, &byte, 1, 0);  // ends when the client closes
        }
    }

    static std::string readRequest(SOCKET s) {
        std::string request;
        char buffer[512];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            const int n = ::recv(s, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        return request;
    }

    std::vector<Action> m_script;
    std::string m_answer;
    SOCKET m_listener = INVALID_SOCKET;
    std::uint16_t m_port = 0;
    int m_connections = 0;
    std::vector<std::string> m_requests;
    std::thread m_thread;
};

class HttpFetchTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_winsock.started()); }

    static FetchOptions options(std::uint16_t port, int maxTries) {
        FetchOptions o;
        o.port = port;
        o.maxTries = maxTries;
        o.timeoutMillis = 5000;
        o.request = wintestclient::proxyGetRequest("http://127.0.0.1:8080/identity");
        return o;
    }

    wintestclient::WinsockSession m_winsock;
};

TEST(ProxyGetRequest, AsksForTheWholeUrlOverHttp10WithItsHost) {
    EXPECT_EQ("GET http://127.0.0.1:8080/identity HTTP/1.0\r\nHost: 127.0.0.1:8080\r\n\r\n",
              wintestclient::proxyGetRequest("http://127.0.0.1:8080/identity"));
    EXPECT_EQ("GET http://example.test HTTP/1.0\r\nHost: example.test\r\n\r\n",
              wintestclient::proxyGetRequest("http://example.test"));
}

TEST(StatusLine, IsTheFirstLineWithoutItsEnd) {
    EXPECT_EQ("HTTP/1.1 200 OK", wintestclient::statusLine("HTTP/1.1 200 OK\r\nA: b\r\n\r\n"));
    EXPECT_EQ("HTTP/1.0 500 x", wintestclient::statusLine("HTTP/1.0 500 x"));
    EXPECT_EQ("", wintestclient::statusLine(""));
}

TEST_F(HttpFetchTest, TriesAgainAfterDropsAndCountsEveryConnection) {
    const std::string answer = "HTTP/1.0 200 OK\r\n\r\nhello\n";
    ScriptedProxy proxy({Action::CloseAtOnce, Action::CloseAfterRequest, Action::Answer}, answer);
    ASSERT_NE(0, proxy.port());

    const FetchOptions o = options(proxy.port(), 5);
    const FetchResult result = wintestclient::fetchWithRetry(o);

    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(3, result.tries);
    EXPECT_EQ(answer, result.response);
    EXPECT_EQ("", result.error);
    proxy.join();
    EXPECT_EQ(3, proxy.connections());
    ASSERT_EQ(2u, proxy.requests().size());
    EXPECT_EQ(o.request, proxy.requests()[0]);
    EXPECT_EQ(o.request, proxy.requests()[1]);
}

TEST_F(HttpFetchTest, GivesUpAfterTheLastTry) {
    ScriptedProxy proxy(
        {Action::CloseAfterRequest, Action::CloseAfterRequest, Action::CloseAfterRequest}, "");
    ASSERT_NE(0, proxy.port());

    const FetchResult result = wintestclient::fetchWithRetry(options(proxy.port(), 3));

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(3, result.tries);
    EXPECT_NE(std::string::npos, result.error.find("gave up after 3 tries")) << result.error;
    proxy.join();
    EXPECT_EQ(3, proxy.connections());
}

TEST_F(HttpFetchTest, ProxyThatNeverAnswersIsATimeoutNotARetry) {
    ScriptedProxy proxy({Action::Ignore}, "");
    ASSERT_NE(0, proxy.port());
    FetchOptions o = options(proxy.port(), 5);
    o.timeoutMillis = 200;

    const FetchResult result = wintestclient::fetchWithRetry(o);

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(1, result.tries);
    EXPECT_NE(std::string::npos, result.error.find("no end of answer within 200 ms"))
        << result.error;
}

TEST_F(HttpFetchTest, RefusedConnectionsAreRetriedAndCounted) {
    // A port that was just free: bound, never listened on, closed.
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof at;
    ASSERT_EQ(0, ::bind(s, reinterpret_cast<sockaddr*>(&at), sizeof at));
    ASSERT_EQ(0, ::getsockname(s, reinterpret_cast<sockaddr*>(&at), &length));
    ::closesocket(s);

    const FetchResult result = wintestclient::fetchWithRetry(options(ntohs(at.sin_port), 2));

    EXPECT_FALSE(result.ok);
    EXPECT_EQ(2, result.tries);
    EXPECT_NE(std::string::npos, result.error.find("connect() failed, error 10061"))
        << result.error;
}

}  // namespace
