// The event log on Linux: syslog (facility daemon), or, when
// VORNCLIENT_EVENT_LOG names a file, one JSON object per line appended to
// that file. Like the Windows event log, failures are silent.
#include <fcntl.h>
#include <sys/stat.h>
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

// The file sink keeps its descriptor open: a relay that has run out of
// descriptors must still be able to say so. A file that was moved away or
// deleted (rotated) is opened afresh when a message comes; until that works,
// lines go to the file still held.
class LogFile {
public:
    ~LogFile() {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // One write() on an O_APPEND descriptor, so lines of concurrent writers
    // (threads or processes) never interleave.
    void append(const char* path, const std::string& line) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_fd < 0 || m_path != path || !stillThere())
            reopen(path);
        if (m_fd < 0)
            return;
        ssize_t written;
        do {
            written = ::write(m_fd, line.data(), line.size());
        } while (written < 0 && errno == EINTR);
    }

private:
    bool stillThere() const {
        struct stat now;
        return ::stat(m_path.c_str(), &now) == 0 && now.st_dev == m_dev && now.st_ino == m_ino;
    }

    void reopen(const char* path) {
        const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        struct stat opened;
        if (fd < 0 || ::fstat(fd, &opened) != 0) {
            if (fd >= 0)
                ::close(fd);
            return;
        }
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
        m_path = path;
        m_dev = opened.st_dev;
        m_ino = opened.st_ino;
    }

    std::mutex m_mutex;
    int m_fd = -1;
    std::string m_path;
    dev_t m_dev = 0;
    ino_t m_ino = 0;
};

class PosixEventLog : public EventLog {
public:
    void report(const std::wstring& source, std::uint16_t type,
                const std::wstring& fullText) override {
        // The message travels as a NUL-terminated string, as on Windows.
        const std::wstring text = fullText.substr(0, fullText.find(L'\0'));
        const char* path = std::getenv("VORNCLIENT_EVENT_LOG");
        if (path && *path) {
            m_file.append(path, jsonLine(source, type, text));
            return;
        }
        openOnce(source);
        syslog(LOG_DAEMON | syslogPriority(type), "%s", toUtf8(text).c_str());
    }

    // syslog takes any ident: there is nothing to register or remove.
    std::uint32_t registerSource(const std::wstring&, const std::wstring&) override { return 0; }
    std::uint32_t removeSource(const std::wstring&) override { return 0; }

private:
    // openlog keeps the ident pointer, so it must outlive every call. The
    // connection to the log is made at once and kept, so that messages go
    // out even when no descriptor is left to open a new one.
    void openOnce(const std::wstring& source) {
        std::call_once(m_opened, [&] {
            m_ident = toUtf8(source);
            openlog(m_ident.c_str(), LOG_PID | LOG_NDELAY, LOG_DAEMON);
        });
    }

    std::once_flag m_opened;
    std::string m_ident;
    LogFile m_file;
};

}  // namespace

EventLog& nativeEventLog() {
    static PosixEventLog g_instance;
    return g_instance;
}

}  // namespace platform
