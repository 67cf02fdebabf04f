// Helpers for the tests of the Win32 platform layer.
#pragma once

#include <windows.h>

#include <string>

namespace win32test {

// A wide string from UTF-16 units (wide literals in code stay ASCII).
inline std::wstring wide(const char16_t* units) {
    std::wstring out;
    for (; *units != 0; ++units)
        out.push_back(static_cast<wchar_t>(*units));
    return out;
}

// True when running on the compatibility layer rather than on Windows, for
// the few checks that need real system services behind the call.
inline bool underCompatibilityLayer() {
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

inline std::wstring uniqueSuffix() {
    return std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount());
}

}  // namespace win32test
