// Registry reads below HKEY_LOCAL_MACHINE, and the installer's writes.
#include <windows.h>

#include "platform/platform.h"

namespace platform {
namespace {

HKEY toHkey(RegKey key) {
    return reinterpret_cast<HKEY>(key);
}

class Win32Registry : public Registry {
public:
    long openKey(const std::wstring& subKey, RegKey& out) override {
        HKEY key = nullptr;
        const LONG rc = ::RegOpenKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, KEY_READ, &key);
        out = rc == ERROR_SUCCESS ? reinterpret_cast<RegKey>(key) : 0;
        return rc;
    }

    long queryValue(RegKey key, const std::wstring& name, std::uint32_t& type, std::uint8_t* data,
                    std::uint32_t& size) override {
        DWORD valueType = REG_NONE;
        DWORD valueSize = size;
        const LONG rc =
            ::RegQueryValueExW(toHkey(key), name.c_str(), nullptr, &valueType, data, &valueSize);
        type = valueType;
        size = valueSize;
        return rc;
    }

    void closeKey(RegKey key) override {
        if (key != 0)
            ::RegCloseKey(toHkey(key));
    }

    long createKey(const std::wstring& subKey, RegKey& out) override {
        HKEY key = nullptr;
        const LONG rc = ::RegCreateKeyExW(HKEY_LOCAL_MACHINE, subKey.c_str(), 0, nullptr,
                                          REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE, nullptr,
                                          &key, nullptr);
        out = rc == ERROR_SUCCESS ? reinterpret_cast<RegKey>(key) : 0;
        return rc;
    }

    long writeValue(RegKey key, const std::wstring& name, std::uint32_t type,
                    const std::uint8_t* data, std::uint32_t size) override {
        return ::RegSetValueExW(toHkey(key), name.c_str(), 0, type, data, size);
    }
};

}  // namespace

Registry& nativeRegistry() {
    static Win32Registry g_instance;
    return g_instance;
}

}  // namespace platform
