// Diagnostic messages: one wide text per event, handed to the event log
// under the source "VornClient" the moment it is composed.
#pragma once

#include <cstdint>
#include <exception>
#include <sstream>
#include <string>

#include "platform/event_log.h"
#include "support/rate_limit.h"

// The debug mode: set by -debug before other threads exist; while it is on
// every diagnostic message is discarded.
void setDebugMode(bool on);
bool debugMode();

constexpr std::uint16_t kEventTypeError = platform::kEventError;
constexpr std::uint16_t kEventTypeWarning = platform::kEventWarning;
constexpr std::uint16_t kEventTypeInformation = platform::kEventInformation;

// Never throws, never reports its own failure.
void logEvent(const std::wstring& text, std::uint16_t type);
// Converts with utf8ToWide first (which may throw), then logs as an error.
void logUtf8Error(const std::string& text);

// Widens byte by byte: each byte becomes the UTF-16 unit of the same value.
std::wstring widenBytes(const std::string& bytes);

// Composes a message: LogMessage("Op()") << L", detail = " << 42; then
// .log(type) sends it. Narrow strings are widened byte by byte.
class LogMessage {
public:
    LogMessage() = default;
    explicit LogMessage(const std::string& operation) { m_stream << widenBytes(operation); }

    LogMessage& operator<<(const std::wstring& s) {
        m_stream << s;
        return *this;
    }
    LogMessage& operator<<(const wchar_t* s) {
        m_stream << s;
        return *this;
    }
    LogMessage& operator<<(const std::string& s) {
        m_stream << widenBytes(s);
        return *this;
    }
    LogMessage& operator<<(const char* s) { return *this << std::string(s); }
    // Characters are written as characters, not as their numbers.
    LogMessage& operator<<(wchar_t c) {
        m_stream << c;
        return *this;
    }
    LogMessage& operator<<(char c) {
        return *this << static_cast<wchar_t>(static_cast<unsigned char>(c));
    }
    // Numbers in plain decimal; unsigned values never carry a sign.
    LogMessage& operator<<(long long v) {
        m_stream << v;
        return *this;
    }
    LogMessage& operator<<(unsigned long long v) {
        m_stream << v;
        return *this;
    }
    LogMessage& operator<<(int v) { return *this << static_cast<long long>(v); }
    LogMessage& operator<<(long v) { return *this << static_cast<long long>(v); }
    LogMessage& operator<<(unsigned v) { return *this << static_cast<unsigned long long>(v); }
    LogMessage& operator<<(unsigned long v) { return *this << static_cast<unsigned long long>(v); }

    std::wstring text() const { return m_stream.str(); }
    void log(std::uint16_t type = kEventTypeError) const { logEvent(text(), type); }
    // Logs unless `limit` holds it back (rate_limit.h).
    void log(MessageRateLimit& limit, std::uint16_t type = kEventTypeError) const {
        std::uint64_t heldBack = 0;
        if (limit.admit(heldBack))
            logEvent(text() + heldBackSuffix(heldBack), type);
    }

private:
    std::wostringstream m_stream;
};

// Logs an exception caught at a top-level handler as
// "<operation>(), exception, <what>, class <type>" or
// "<operation>(), unknown exception". Call inside a catch block.
void logCurrentException(const std::string& operationWithParens);
void logCurrentException(const std::string& operationWithParens, MessageRateLimit& limit);

// "class std::invalid_argument" style name of an exception's dynamic type.
std::string exceptionClassName(const std::exception& e);
