// Fetches one HTTP response through a local HTTP proxy on 127.0.0.1, the
// way a browser would: connect, send the request at once, read until the
// proxy closes. A connection that is dropped before any byte of the answer
// arrives is tried again, a bounded number of times.
#pragma once

#include <cstdint>
#include <string>

namespace wintestclient {

struct FetchOptions {
    std::uint16_t port = 8080;  // the proxy's port on 127.0.0.1
    std::string request;        // sent right after connecting
    int maxTries = 20;
    // Limit for each connect, send and receive, so that every try ends.
    std::uint32_t timeoutMillis = 15000;
};

struct FetchResult {
    bool ok = false;       // a complete answer arrived (ended by the proxy's close)
    int tries = 0;         // connections attempted, the successful one included
    std::string response;  // every byte received on the last connection
    std::string error;     // why the last try failed; empty when ok
};

// Keeps the socket library started for its lifetime.
class WinsockSession {
public:
    WinsockSession();
    ~WinsockSession();
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
    bool started() const { return m_started; }

private:
    bool m_started = false;
};

// "GET <url> HTTP/1.0" with a Host header taken from the URL. HTTP/1.0, so
// that the far end closes the connection after its answer.
std::string proxyGetRequest(const std::string& url);

// Needs a started WinsockSession.
FetchResult fetchWithRetry(const FetchOptions& options);

// The first line of a response, without its line end.
std::string statusLine(const std::string& response);

}  // namespace wintestclient
