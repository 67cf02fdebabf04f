#include "support/logging.h"

#include <cxxabi.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <typeinfo>

#include "platform/platform.h"
#include "support/service_names.h"
#include "support/text_conversion.h"

namespace {

std::atomic<bool> g_debugMode{false};

void eraseAll(std::string& s, const std::string& piece) {
    for (std::size_t at = s.find(piece); at != std::string::npos; at = s.find(piece, at)) {
        s.erase(at, piece.size());
    }
}

// The demangled type name without the library's ABI-version tags, so that
// std::ios_base::failure reads as such.
std::string readableTypeName(const std::type_info& type) {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
    std::string name = status == 0 && demangled ? demangled.get() : type.name();
    eraseAll(name, "__cxx11::");
    eraseAll(name, "[abi:cxx11]");
    return name;
}

}  // namespace

void setDebugMode(bool on) {
    g_debugMode.store(on);
}

bool debugMode() {
    return g_debugMode.load();
}

void logEvent(const std::wstring& text, std::uint16_t type) {
    if (debugMode())
        return;
    try {
        platform::eventLog().report(kServiceName, type, text);
    } catch (...) {
        // A message that cannot be logged is dropped without notice.
    }
}

void logUtf8Error(const std::string& text) {
    logEvent(utf8ToWide(text), kEventTypeError);
}

std::wstring widenBytes(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes)
        out.push_back(static_cast<wchar_t>(c));
    return out;
}

std::string exceptionClassName(const std::exception& e) {
    return "class " + readableTypeName(typeid(e));
}

namespace {

void logException(const std::string& operationWithParens, MessageRateLimit* limit) {
    try {
        LogMessage message(operationWithParens);
        if (!std::current_exception()) {
            message << L", unknown exception";
        } else {
            try {
                throw;
            } catch (const std::exception& e) {
                message << L", exception, " << std::string(e.what()) << L", "
                        << exceptionClassName(e);
            } catch (...) {
                message << L", unknown exception";
            }
        }
        if (limit != nullptr) {
            message.log(*limit);
        } else {
            message.log();
        }
    } catch (...) {
        // Composing the message failed (out of memory); nothing more to do.
    }
}

}  // namespace

void logCurrentException(const std::string& operationWithParens) {
    logException(operationWithParens, nullptr);
}

void logCurrentException(const std::string& operationWithParens, MessageRateLimit& limit) {
    logException(operationWithParens, &limit);
}
