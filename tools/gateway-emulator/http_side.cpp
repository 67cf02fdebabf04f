#include "tools/gateway-emulator/http_side.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "tools/common/tool_net.h"
#include "tools/gateway-emulator/sha256.h"

namespace emu {
namespace {

constexpr std::size_t kMaxLine = 16 * 1024;
constexpr std::size_t kMaxHeaderLines = 200;
constexpr std::uint64_t kMaxDownload = 64ull << 30;
constexpr std::size_t kPatternWords = (1u << 20) / 8;  // one MiB of base pattern

struct Request {
    std::string method;
    std::string path;  // origin form, query included
    std::string version;
    std::uint64_t contentLength = 0;
    bool chunked = false;
    bool closeRequested = false;
    bool expectContinue = false;
};

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos)
        return "";
    std::size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

bool parseDecimal(const std::string& text, std::uint64_t& value) {
    if (text.empty() || text.size() > 19)
        return false;
    value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return true;
}

// Proxy form "http://host[:port]/path" becomes "/path"; origin form stays.
bool originForm(const std::string& target, std::string& path) {
    if (!target.empty() && target[0] == '/') {
        path = target;
        return true;
    }
    std::size_t schemeEnd = target.find("://");
    if (schemeEnd == std::string::npos)
        return false;
    std::string scheme = lower(target.substr(0, schemeEnd));
    if (scheme != "http" && scheme != "https")
        return false;
    std::size_t slash = target.find('/', schemeEnd + 3);
    path = slash == std::string::npos ? "/" : target.substr(slash);
    return true;
}

// False when the request is unreadable or malformed; the connection then ends.
bool readRequest(Reader& reader, Request& request) {
    std::string line;
    do {  // tolerate blank lines between requests
        if (!reader.readLine(line, kMaxLine))
            return false;
    } while (line.empty());
    std::size_t sp1 = line.find(' ');
    std::size_t sp2 = line.rfind(' ');
    if (sp1 == std::string::npos || sp2 == sp1)
        return false;
    request.method = line.substr(0, sp1);
    request.version = line.substr(sp2 + 1);
    if (!originForm(line.substr(sp1 + 1, sp2 - sp1 - 1), request.path))
        return false;
    request.closeRequested = request.version != "HTTP/1.1";
    for (std::size_t count = 0;; ++count) {
        if (count > kMaxHeaderLines || !reader.readLine(line, kMaxLine))
            return false;
        if (line.empty())
            break;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = lower(trim(line.substr(0, colon)));
        std::string value = trim(line.substr(colon + 1));
        if (name == "content-length") {
            if (!parseDecimal(value, request.contentLength))
                return false;
        } else if (name == "transfer-encoding") {
            request.chunked = lower(value).find("chunked") != std::string::npos;
        } else if (name == "connection" || name == "proxy-connection") {
            std::string v = lower(value);
            if (v.find("close") != std::string::npos)
                request.closeRequested = true;
            if (v.find("keep-alive") != std::string::npos && request.version == "HTTP/1.0") {
                request.closeRequested = false;
            }
        } else if (name == "expect") {
            request.expectContinue = lower(value) == "100-continue";
        }
    }
    return true;
}

template <typename Sink>
bool readChunkedBody(Reader& reader, Sink&& sink) {
    std::vector<char> buf(64 * 1024);
    std::string line;
    for (;;) {
        if (!reader.readLine(line, kMaxLine))
            return false;
        std::size_t end = line.find(';');
        std::string sizeText = trim(line.substr(0, end));
        if (sizeText.empty() || sizeText.size() > 15)
            return false;
        std::uint64_t size = 0;
        for (char c : sizeText) {
            if (!std::isxdigit(static_cast<unsigned char>(c)))
                return false;
            size =
                size * 16 + static_cast<std::uint64_t>(std::isdigit(static_cast<unsigned char>(c))
                                                           ? c - '0'
                                                           : (std::tolower(c) - 'a' + 10));
        }
        if (size == 0)
            break;
        while (size > 0) {
            std::size_t got =
                reader.readSome(buf.data(), std::min<std::uint64_t>(size, buf.size()));
            if (got == 0)
                return false;
            sink(buf.data(), got);
            size -= got;
        }
        if (!reader.readLine(line, kMaxLine) || !line.empty())
            return false;
    }
    do {  // trailers up to the empty line
        if (!reader.readLine(line, kMaxLine))
            return false;
    } while (!line.empty());
    return true;
}

template <typename Sink>
bool readBody(Reader& reader, const Request& request, Sink&& sink) {
    if (request.chunked)
        return readChunkedBody(reader, sink);
    std::vector<char> buf(256 * 1024);
    std::uint64_t left = request.contentLength;
    while (left > 0) {
        std::size_t got = reader.readSome(buf.data(), std::min<std::uint64_t>(left, buf.size()));
        if (got == 0)
            return false;
        sink(buf.data(), got);
        left -= got;
    }
    return true;
}

std::string header(const std::string& status, const std::string& type, std::uint64_t length,
                   bool close) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + std::to_string(length) +
           "\r\nConnection: " + (close ? "close" : "keep-alive") + "\r\n\r\n";
}

bool sendSimple(int fd, const std::string& status, const std::string& type, const std::string& body,
                bool close, bool headOnly) {
    std::string out = header(status, type, body.size(), close);
    if (!headOnly)
        out += body;
    return toolnet::writeAll(fd, out);
}

const std::vector<std::uint64_t>& basePattern() {
    static const std::vector<std::uint64_t> words = [] {
        std::vector<std::uint64_t> w(kPatternWords);
        std::uint64_t x = 0x243F6A8885A308D3ull;
        for (std::uint64_t& word : w) {  // splitmix64
            x += 0x9E3779B97F4A7C15ull;
            std::uint64_t z = x;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            word = z ^ (z >> 31);
        }
        return w;
    }();
    return words;
}

// Every MiB block is the base pattern xor-ed with a block-dependent constant,
// so swapped or repeated blocks change the digest.
void fillBlock(std::uint64_t block, std::vector<std::uint64_t>& out) {
    const std::vector<std::uint64_t>& base = basePattern();
    std::uint64_t salt = block * 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < kPatternWords; ++i)
        out[i] = base[i] ^ salt;
}

bool sendPattern(int fd, std::uint64_t length) {
    std::vector<std::uint64_t> block(kPatternWords);
    const std::uint64_t blockBytes = kPatternWords * 8;
    for (std::uint64_t index = 0; length > 0; ++index) {
        fillBlock(index, block);
        std::size_t n = static_cast<std::size_t>(std::min(length, blockBytes));
        if (!toolnet::writeAll(fd, block.data(), n))
            return false;
        length -= n;
    }
    return true;
}

bool serveBytes(int fd, const Request& request, const std::string& countText, bool headOnly) {
    std::uint64_t count = 0;
    if (!parseDecimal(countText, count) || count > kMaxDownload) {
        return sendSimple(fd, "400 Bad Request", "text/plain", "bad byte count\n",
                          request.closeRequested, headOnly);
    }
    if (!toolnet::writeAll(
            fd, header("200 OK", "application/octet-stream", count, request.closeRequested))) {
        return false;
    }
    return headOnly || sendPattern(fd, count);
}

bool serveIdentity(int fd, const Request& request, const Identity* identity, bool json,
                   bool headOnly) {
    if (!identity) {
        return sendSimple(fd, "404 Not Found", "text/plain", "no identity on this listener\n",
                          request.closeRequested, headOnly);
    }
    if (json) {
        return sendSimple(fd, "200 OK", "application/json", identityJson(*identity, "") + "\n",
                          request.closeRequested, headOnly);
    }
    return sendSimple(fd, "200 OK", "text/plain; charset=utf-8", identityText(*identity),
                      request.closeRequested, headOnly);
}

}  // namespace

std::uint8_t patternByte(std::uint64_t offset) {
    std::uint64_t word = offset / 8;
    std::uint64_t block = word / kPatternWords;
    std::uint64_t value = basePattern()[word % kPatternWords] ^ (block * 0x9E3779B97F4A7C15ull);
    std::uint8_t bytes[8];
    std::memcpy(bytes, &value, sizeof(value));
    return bytes[offset % 8];
}

void serveHttp(Reader& reader, int fd, const Identity* identity) {
    for (;;) {
        Request request;
        if (!readRequest(reader, request))
            return;
        if (request.expectContinue && !toolnet::writeAll(fd, "HTTP/1.1 100 Continue\r\n\r\n"))
            return;
        std::string path = request.path.substr(0, request.path.find('?'));
        bool headOnly = request.method == "HEAD";
        bool ok;
        if (path == "/sink") {
            Sha256 digest;
            if (!readBody(reader, request,
                          [&](const char* data, std::size_t n) { digest.update(data, n); })) {
                return;
            }
            ok = sendSimple(fd, "200 OK", "text/plain", digest.finishHex() + "\n",
                            request.closeRequested, headOnly);
        } else {
            if (!readBody(reader, request, [](const char*, std::size_t) {}))
                return;
            if (path == "/identity" || path == "/identity.json") {
                ok = serveIdentity(fd, request, identity, path == "/identity.json", headOnly);
            } else if (path.compare(0, 7, "/bytes/") == 0) {
                ok = serveBytes(fd, request, path.substr(7), headOnly);
            } else if (path == "/hello") {
                ok = sendSimple(fd, "200 OK", "text/plain", "hello\n", request.closeRequested,
                                headOnly);
            } else {
                ok = sendSimple(fd, "404 Not Found", "text/plain", "not found\n",
                                request.closeRequested, headOnly);
            }
        }
        if (!ok || request.closeRequested)
            return;
    }
}

}  // namespace emu
