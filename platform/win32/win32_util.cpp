#include "platform/win32/win32_util.h"

#include <windows.h>

#include <vector>

namespace platform {
namespace win32 {

std::wstring utf8ToUtf16(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int size = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::vector<wchar_t> buffer(static_cast<std::size_t>(needed));
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, buffer.data(), needed);
    return std::wstring(buffer.data(), static_cast<std::size_t>(written > 0 ? written : 0));
}

}  // namespace win32
}  // namespace platform
