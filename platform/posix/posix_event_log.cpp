// The event log on Linux: syslog (facility daemon), or, when
// VORNCLIENT_EVENT_LOG names a file, one JSON object per line appended to
// that file. Like the Windows event log, failures are silent.
#include <fcntl.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/platform.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

constexpr std::uint16_t kEventId = 1;

int syslogPriority(std::uint16_t type) {
    switch (type) {
        case kEventError:
            return LOG_ERR;
        case kEventWarning:
            return LOG_WARNING;
        case kEventInformation:
            return LOG_INFO;
        default:
            return LOG_NOTICE;
    }
}

std::string toUtf8(const std::wstring& text) {
    return utf16ToUtf8(text.data(), text.size());
}

// A JSON string body of UTF-16 text: pairs combined, lone surrogates U+FFFD.
void appendJsonString(std::string& out, const std::wstring& text) {
    out.push_back('"');
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t cp = nextUtf16CodePoint(text.data(), pos, text.size());
        switch (cp) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            default:
                if (cp < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(cp));
                    out += escaped;
                } else {
                    appendUtf8(out, cp);
                }
        }
    }
    out.push_back('"');
}

// ISO-8601 UTC with milliseconds, e.g. 2024-05-01T12:34:56.789Z.
std::string utcTimestamp() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    gmtime_r(&now.tv_sec, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<long>(now.tv_nsec / 1000000));
    return text;
}

std::string jsonLine(const std::wstring& source, std::uint16_t type, const std::wstring& text) {
    std::string line = "{\"time\": \"" + utcTimestamp() + "\", \"source\": ";
    appendJsonString(line, source);
    line += ", \"event_id\": " + std::to_string(kEventId) + ", \"type\": " + std::to_string(type) +
            ", \"message\": ";
    appendJsonString(line, text);
    line += "}\n";
    return line;
}

// One write() on an O_APPEND descriptor, so lines of concurrent writers
// (threads or processes) never interleave.
void appendToFile(const char* path, const std::string& line) {
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    ssize_t written;
    do {
        written = ::write(fd, line.data(), line.size());
    } while (written < 0 && errno == EINTR);
    ::close(fd);
}

class PosixEventLog : public EventLog {
public:
    void report(const std::wstring& source, std::uint16_t type,
                const std::wstring& fullText) override {
        // The message travels as a NUL-terminated string, as on Windows.
        const std::wstring text = fullText.substr(0, fullText.find(L'\0'));
        const char* path = std::getenv("VORNCLIENT_EVENT_LOG");
        if (path && *path) {
            appendToFile(path, jsonLine(source, type, text));
            return;
        }
        openOnce(source);
        syslog(LOG_DAEMON | syslogPriority(type), "%s", toUtf8(text).c_str());
    }

private:
    // openlog keeps the ident pointer, so it must outlive every call.
    void openOnce(const std::wstring& source) {
        std::call_once(m_opened, [&] {
            m_ident = toUtf8(source);
            openlog(m_ident.c_str(), LOG_PID, LOG_DAEMON);
        });
    }

    std::once_flag m_opened;
    std::string m_ident;
};

}  // namespace

EventLog& nativeEventLog() {
    static PosixEventLog g_instance;
    return g_instance;
}

}  // namespace platform
