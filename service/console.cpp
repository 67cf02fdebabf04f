#include "service/console.h"

#include <cstdio>

#include "platform/platform.h"
#include "support/text_conversion.h"

namespace {

// The system text plus " (0x", eight hex digits, ")" and the NUL.
constexpr std::size_t kLastErrorBufferSize = 256;
constexpr std::size_t kLastErrorReserved = 14;

// Console text must always come out, even when a conversion fails: fall back
// to the units that are plain ASCII.
std::string toConsoleBytes(const std::wstring& text) {
    try {
        return wideToUtf8(text);
    } catch (...) {
        std::string bytes;
        for (wchar_t c : text) {
            bytes.push_back(static_cast<unsigned>(c) < 0x80 ? static_cast<char>(c) : '?');
        }
        return bytes;
    }
}

std::wstring hexLower(std::uint32_t value) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%x", static_cast<unsigned>(value));
    return std::wstring(digits, digits + std::char_traits<char>::length(digits));
}

}  // namespace

void consolePrint(const std::string& text) {
    platform::process().writeStdout(text);
}

void consolePrint(const std::wstring& text) {
    platform::process().writeStdout(toConsoleBytes(text));
}

std::wstring lastErrorText() {
    platform::Process& process = platform::process();
    std::wstring message;
    if (!process.formatSystemMessage(process.lastError(), message) ||
        message.size() + kLastErrorReserved > kLastErrorBufferSize) {
        return std::wstring();
    }
    // Drop the line break that system texts end with. What remains, with the
    // code, fits the buffer: the reserve covers the longest code.
    message.resize(message.size() < 2 ? 0 : message.size() - 2);
    return message + L" (0x" + hexLower(process.lastError()) + L")";
}

void printFailure(const std::wstring& prefix, std::uint32_t error) {
    platform::process().setLastError(error);
    consolePrint(prefix + lastErrorText() + L"\n");
}
