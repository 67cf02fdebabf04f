// Text conversions with the Windows semantics the core relies on: inputs are
// NUL-terminated, sizes count the terminating NUL, a too-small buffer fails
// with ERROR_INSUFFICIENT_BUFFER, and ill-formed input is replaced, not
// refused. System texts come from strerror / gai_strerror.
#include <netdb.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

std::size_t wideLength(const wchar_t* s) {
    std::size_t n = 0;
    while (s[n] != 0)
        ++n;
    return n;
}

// Copies converted text plus its NUL into out, or reports the size needed.
template <typename Char, typename Str>
int deliver(const Str& converted, Char* out, int outSize, std::uint32_t& error) {
    const std::size_t needed = converted.size() + 1;
    if (needed > static_cast<std::size_t>(INT_MAX)) {
        error = kErrorInvalidParameter;
        return 0;
    }
    if (outSize == 0)
        return static_cast<int>(needed);
    if (static_cast<std::size_t>(outSize) < needed) {
        error = kErrorInsufficientBuffer;
        return 0;
    }
    std::copy(converted.begin(), converted.end(), out);
    out[converted.size()] = 0;
    return static_cast<int>(needed);
}

// XSI and GNU strerror_r differ in their result; accept either.
[[maybe_unused]] inline const char* strerrorResult(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}
[[maybe_unused]] inline const char* strerrorResult(const char* result, const char*) {
    return result;
}

int gaiCodeFor(std::uint32_t code) {
    switch (code) {
        case kWsaHostNotFound:
            return EAI_NONAME;
        case kWsaTryAgain:
            return EAI_AGAIN;
        case kWsaNoRecovery:
            return EAI_FAIL;
        case kWsaNoData:
#ifdef EAI_NODATA
            return EAI_NODATA;
#else
            return EAI_NONAME;
#endif
        default:
            return 0;
    }
}

// The system's own text for a Windows error number, or empty when it has none.
std::string systemText(std::uint32_t code) {
    if (int gai = gaiCodeFor(code))
        return gai_strerror(gai);
    const int err = code == 0 ? 0 : errnoFromWindowsError(code);
    if (code != 0 && err == 0)
        return std::string();
    char buffer[256] = {};
    const char* text = strerrorResult(strerror_r(err, buffer, sizeof buffer), buffer);
    return text ? std::string(text) : std::string();
}

class PosixText : public Text {
public:
    int wideToMultiByte(const wchar_t* source, char* out, int outSize,
                        std::uint32_t& error) override {
        if (!source || outSize < 0 || (outSize > 0 && !out)) {
            error = kErrorInvalidParameter;
            return 0;
        }
        const std::size_t length = wideLength(source);
        return deliver(utf16ToUtf8(source, length), out, outSize, error);
    }

    int multiByteToWide(const char* source, wchar_t* out, int outSize,
                        std::uint32_t& error) override {
        if (!source || outSize < 0 || (outSize > 0 && !out)) {
            error = kErrorInvalidParameter;
            return 0;
        }
        return deliver(utf8ToUtf16(source, std::strlen(source)), out, outSize, error);
    }

    std::uint32_t formatMessage(std::uint32_t code, wchar_t* out, std::uint32_t capacity) override {
        if (!out || capacity == 0)
            return 0;
        const std::string text = systemText(code);
        if (text.empty())
            return 0;
        // System texts end in a line break, as they do on Windows.
        const std::wstring wide = utf8ToUtf16(text.data(), text.size()) + L"\r\n";
        const std::size_t count = std::min<std::size_t>(wide.size(), capacity - 1);
        std::copy(wide.begin(), wide.begin() + count, out);
        out[count] = 0;
        return static_cast<std::uint32_t>(count);
    }
};

}  // namespace

Text& nativeText() {
    static PosixText g_instance;
    return g_instance;
}

}  // namespace platform
