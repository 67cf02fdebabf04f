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

#include <cstdio>
#include <string>

#include "tools/common/tool_options.h"
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

bool parseArgs(int argc, char** argv, Options& options, std::string& error) {
    const auto nonEmpty = [](std::string& target) {
        return [&target](const std::string& value) {
            target = value;
            return !value.empty();
        };
    };
    toolopt::OptionParser parser;
    parser.flag("--whoami", [&] { options.whoami = true; })
        .option("--event-text", 3,
                [&](const toolopt::OptionParser::Values& values) {
                    options.eventText = true;
                    options.eventSource = values[0];
                    options.eventInsertion = values[2];
                    return toolopt::parseNumber(values[1], 0, 0xFFFFFFFFul, options.eventId);
                })
        .option("--port",
                [&](const std::string& value) {
                    options.portGiven = true;
                    return toolopt::parseNumber(value, 1, 65535, options.fetch.port);
                })
        .option("--url", nonEmpty(options.url))
        .number("--tries", 1, 1000, options.fetch.maxTries)
        .number("--timeout-ms", 1, 600000, options.fetch.timeoutMillis)
        .option("--out", nonEmpty(options.outFile));
    if (!parser.parse(argc, argv, error))
        return false;
    // --whoami and --event-text stand alone; a fetch needs the port.
    if (options.whoami || options.eventText)
        return argc == (options.whoami ? 2 : 5);
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
    std::string error;
    if (!parseArgs(argc, argv, options, error)) {
        if (!error.empty())
            std::fprintf(stderr, "win-test-client: %s\n", error.c_str());
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
