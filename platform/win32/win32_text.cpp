// UTF-16 <-> UTF-8 and system message texts. wchar_t is one UTF-16 unit here.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

class Win32Text : public Text {
public:
    int wideToMultiByte(const wchar_t* source, char* out, int outSize,
                        std::uint32_t& error) override {
        const int n =
            ::WideCharToMultiByte(CP_UTF8, 0, source, -1, out, out ? outSize : 0, nullptr, nullptr);
        error = n == 0 ? ::GetLastError() : 0;
        return n;
    }

    int multiByteToWide(const char* source, wchar_t* out, int outSize,
                        std::uint32_t& error) override {
        const int n = ::MultiByteToWideChar(CP_UTF8, 0, source, -1, out, out ? outSize : 0);
        error = n == 0 ? ::GetLastError() : 0;
        return n;
    }

    std::uint32_t formatMessage(std::uint32_t code, wchar_t* out, std::uint32_t capacity) override {
        return ::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, out, capacity,
                                nullptr);
    }
};

}  // namespace

Text& nativeText() {
    static Win32Text g_instance;
    return g_instance;
}

}  // namespace platform
