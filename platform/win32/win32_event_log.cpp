// The Windows event log: one registration per message, so no handle is kept
// across threads. The source's registration names vornclient.exe, whose
// message table turns event id 1 into its insertion string.
#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_util.h"

namespace platform {
namespace {

constexpr DWORD kEventId = 1;
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

std::wstring sourceKeyPath(const std::wstring& source) {
    return L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + source;
}

// The message file is a plain REG_SZ path, as the installer package writes
// it too.
LONG writeSourceValues(HKEY key, const std::wstring& messageFile) {
    const auto* path = reinterpret_cast<const BYTE*>(messageFile.c_str());
    const auto pathBytes = static_cast<DWORD>((messageFile.size() + 1) * sizeof(wchar_t));
    LONG rc = ::RegSetValueExW(key, L"EventMessageFile", 0, REG_SZ, path, pathBytes);
    if (rc != ERROR_SUCCESS)
        return rc;
    const DWORD types = kTypesSupported;
    return ::RegSetValueExW(key, L"TypesSupported", 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&types), sizeof(types));
}

struct RegistryKeyTraits {
    using Handle = HKEY;
    static Handle invalid() { return nullptr; }
    static void release(Handle key) { ::RegCloseKey(key); }
};

class Win32EventLog : public EventLog {
public:
    void report(const std::wstring& source, std::uint16_t type, const std::wstring& text) override {
        HANDLE handle = ::RegisterEventSourceW(nullptr, source.c_str());
        if (handle == nullptr)
            return;
        // The text travels as an insertion string, so '%' in it stays verbatim.
        LPCWSTR strings[1] = {text.c_str()};
        ::ReportEventW(handle, type, 0, kEventId, nullptr, 1, 0, strings, nullptr);
        ::DeregisterEventSource(handle);
    }

    std::uint32_t registerSource(const std::wstring& source,
                                 const std::wstring& messageFile) override {
        UniqueHandle<RegistryKeyTraits> key;
        const LONG rc =
            ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, sourceKeyPath(source).c_str(), 0, nullptr,
                              REG_OPTION_NON_VOLATILE, KEY_SET_VALUE, nullptr, key.out(), nullptr);
        if (rc != ERROR_SUCCESS)
            return static_cast<std::uint32_t>(rc);
        return static_cast<std::uint32_t>(writeSourceValues(key.get(), messageFile));
    }

    std::uint32_t removeSource(const std::wstring& source) override {
        const LONG rc = ::RegDeleteTreeW(HKEY_LOCAL_MACHINE, sourceKeyPath(source).c_str());
        return rc == ERROR_FILE_NOT_FOUND ? 0 : static_cast<std::uint32_t>(rc);
    }
};

}  // namespace

EventLog& nativeEventLog() {
    static Win32EventLog g_instance;
    return g_instance;
}

}  // namespace platform
