#include "tools/win-test-client/event_text.h"

#include <windows.h>

#include <memory>
#include <type_traits>

namespace wintestclient {
namespace {

std::wstring widen(const std::string& text) {
    const int size = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(static_cast<std::size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0)
        ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], needed);
    return out;
}

std::string narrow(const std::wstring& text) {
    const int size = static_cast<int>(text.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(needed > 0 ? needed : 0), '\0');
    if (needed > 0)
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], needed, nullptr, nullptr);
    return out;
}

// EventMessageFile, with environment variables expanded as viewers do.
bool messageFile(const std::wstring& source, std::wstring& path, std::string& error) {
    const std::wstring key =
        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
    wchar_t raw[MAX_PATH * 2] = {};
    DWORD size = sizeof(raw);
    const LONG rc =
        ::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"EventMessageFile",
                       RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, raw, &size);
    if (rc != ERROR_SUCCESS) {
        error = "no EventMessageFile for the source, error " + std::to_string(rc);
        return false;
    }
    wchar_t expanded[MAX_PATH * 2] = {};
    if (::ExpandEnvironmentStringsW(raw, expanded, MAX_PATH * 2) == 0) {
        error = "cannot expand the message file name";
        return false;
    }
    path = expanded;
    return true;
}

}  // namespace

bool eventText(const std::string& source, std::uint32_t id, const std::string& insertion,
               std::string& out, std::string& error) {
    std::wstring path;
    if (!messageFile(widen(source), path, error))
        return false;
    const std::unique_ptr<std::remove_pointer<HMODULE>::type, decltype(&::FreeLibrary)> module(
        ::LoadLibraryExW(path.c_str(), nullptr,
                         LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE),
        &::FreeLibrary);
    if (!module) {
        error = "cannot load " + narrow(path) + ", error " + std::to_string(::GetLastError());
        return false;
    }
    const std::wstring text = widen(insertion);
    const DWORD_PTR arguments[1] = {reinterpret_cast<DWORD_PTR>(text.c_str())};
    wchar_t* message = nullptr;
    const DWORD length =
        ::FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER |
                             FORMAT_MESSAGE_ARGUMENT_ARRAY,
                         module.get(), id, 0, reinterpret_cast<wchar_t*>(&message), 0,
                         reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
    if (length == 0) {
        error = "FormatMessageW failed, error " + std::to_string(::GetLastError());
        return false;
    }
    const std::unique_ptr<wchar_t, decltype(&::LocalFree)> owned(message, &::LocalFree);
    out = narrow(std::wstring(message, length));
    return true;
}

}  // namespace wintestclient
