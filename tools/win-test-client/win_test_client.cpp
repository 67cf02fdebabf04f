// A browser stand-in for the Windows checks: fetches one page through the
// relay and reports how many connections that took.
//
//   win-test-client --port N [--url U] [--tries N] [--timeout-ms N] [--out FILE]
//   win-test-client --whoami
//   win-test-client --event-text SOURCE ID TEXT
//
// Prints "tries: N" and then "status: <status line>" or "error: <reason>".
// The whole response goes to FILE, byte for byte (to standard output after
// those lines when no FILE is given). Exit code 0 when a response arrived,
// 1 when not, 2 for a bad command line.
//
// --whoami prints the user and groups of the client's own token instead, in
// the form of the gateway emulator's identity page.
//
// --event-text prints "text: <message>" as an event viewer would show event
// ID of SOURCE with TEXT as its only insertion string, or "error: <reason>".
#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/win-test-client/event_text.h"
#include "tools/win-test-client/http_fetch.h"
#include "tools/win-test-client/token_identity.h"

namespace {

struct Options {
    wintestclient::FetchOptions fetch;
    std::string url = "http://127.0.0.1:8080/identity";
    std::string outFile;
    bool portGiven = false;
    bool whoami = false;
    // --event-text SOURCE ID TEXT
    bool eventText = false;
    std::string eventSource;
    unsigned long eventId = 0;
    std::string eventInsertion;
};

void usage() {
    std::fputs(
        "usage: win-test-client --port N [--url U] [--tries N] [--timeout-ms N] [--out FILE]\n"
        "       win-test-client --whoami\n"
        "       win-test-client --event-text SOURCE ID TEXT\n"
        "  --port N        the proxy's port on 127.0.0.1 (required)\n"
        "  --url U         URL asked for (default http://127.0.0.1:8080/identity)\n"
        "  --tries N       connections to try when the proxy drops one (default 20)\n"
        "  --timeout-ms N  limit for each connect, send and receive (default 15000)\n"
        "  --out FILE      write the response there instead of standard output\n"
        "  --whoami        print the user and groups of this process's token\n"
        "  --event-text    print event ID of SOURCE with TEXT as an event viewer shows it\n",
        stderr);
}

bool parseNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long& out) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    out = std::strtoul(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && out >= low && out <= high;
}

bool parseArgs(int argc, char** argv, Options& options) {
    if (argc == 2 && std::string(argv[1]) == "--whoami") {
        options.whoami = true;
        return true;
    }
    if (argc == 5 && std::string(argv[1]) == "--event-text") {
        options.eventText = true;
        options.eventSource = argv[2];
        options.eventInsertion = argv[4];
        return parseNumber(argv[3], 0, 0xFFFFFFFFul, options.eventId);
    }
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc)
            return false;
        const std::string value = argv[++i];
        unsigned long n = 0;
        if (name == "--port" && parseNumber(value, 1, 65535, n)) {
            options.fetch.port = static_cast<std::uint16_t>(n);
            options.portGiven = true;
        } else if (name == "--url" && !value.empty()) {
            options.url = value;
        } else if (name == "--tries" && parseNumber(value, 1, 1000, n)) {
            options.fetch.maxTries = static_cast<int>(n);
        } else if (name == "--timeout-ms" && parseNumber(value, 1, 600000, n)) {
            options.fetch.timeoutMillis = static_cast<std::uint32_t>(n);
        } else if (name == "--out" && !value.empty()) {
            options.outFile = value;
        } else {
            return false;
        }
    }
    return options.portGiven;
}

bool writeResponse(const std::string& response, const std::string& file) {
    if (file.empty()) {
        // Binary, so that the response's line ends reach the reader unchanged.
        std::fflush(stdout);
        _setmode(_fileno(stdout), _O_BINARY);
        return std::fwrite(response.data(), 1, response.size(), stdout) == response.size();
    }
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr)
        return false;
    const bool written = std::fwrite(response.data(), 1, response.size(), out) == response.size();
    return std::fclose(out) == 0 && written;
}

int printEventText(const Options& options) {
    std::string text;
    std::string error;
    if (!wintestclient::eventText(options.eventSource, static_cast<std::uint32_t>(options.eventId),
                                  options.eventInsertion, text, error)) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    std::printf("text: %s\n", text.c_str());
    return 0;
}

int printOwnIdentity() {
    wintestclient::TokenIdentity identity;
    std::string error;
    if (!wintestclient::readOwnToken(identity, error)) {
        std::printf("error: %s\n", error.c_str());
        return 1;
    }
    const std::string text = wintestclient::formatIdentity(identity);
    std::fflush(stdout);
    _setmode(_fileno(stdout), _O_BINARY);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parseArgs(argc, argv, options)) {
        usage();
        return 2;
    }
    if (options.whoami)
        return printOwnIdentity();
    if (options.eventText)
        return printEventText(options);
    options.fetch.request = wintestclient::proxyGetRequest(options.url);

    wintestclient::WinsockSession winsock;
    if (!winsock.started()) {
        std::printf("tries: 0\nerror: WSAStartup failed\n");
        return 1;
    }
    const wintestclient::FetchResult result = wintestclient::fetchWithRetry(options.fetch);
    std::printf("tries: %d\n", result.tries);
    if (!result.ok) {
        std::printf("error: %s\n", result.error.c_str());
        std::fflush(stdout);
        return 1;
    }
    std::printf("status: %s\n", wintestclient::statusLine(result.response).c_str());
    if (!writeResponse(result.response, options.outFile)) {
        std::printf("error: cannot write the response\n");
        std::fflush(stdout);
        return 1;
    }
    std::fflush(stdout);
    return 0;
}
