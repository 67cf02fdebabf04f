#include "service/console.h"

#include <cstdio>
#include <mutex>

#include "support/text_conversion.h"

namespace {

std::mutex g_consoleMutex;
// Non-null while a ScopedConsoleCapture exists; guarded by g_consoleMutex.
std::string* g_consoleCapture = nullptr;

void write(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    if (g_consoleCapture != nullptr) {
        g_consoleCapture->append(bytes);
        return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

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

}  // namespace

void consolePrint(const std::string& text) {
    write(text);
}

void consolePrint(const std::wstring& text) {
    write(toConsoleBytes(text));
}

ScopedConsoleCapture::ScopedConsoleCapture() {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_consoleCapture = &m_captured;
}

ScopedConsoleCapture::~ScopedConsoleCapture() {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    g_consoleCapture = nullptr;
}

std::string ScopedConsoleCapture::text() const {
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    return m_captured;
}
