// Registry seam: RegOpenKeyExW / RegQueryValueExW / RegCloseKey below
// HKEY_LOCAL_MACHINE, and RegCreateKeyExW / RegSetValueExW for the installer.
#pragma once

#include <cstdint>
#include <string>

#include "platform/unique_handle.h"

namespace platform {

using RegKey = std::uintptr_t;

// An open key, closed through the registry seam in use.
struct RegKeyTraits {
    using Handle = RegKey;
    static Handle invalid() { return 0; }
    static void release(Handle key);
};
using UniqueRegKey = UniqueHandle<RegKeyTraits>;

constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;

class Registry {
public:
    virtual ~Registry() = default;
    // Opens HKLM\subKey for reading (options 0, KEY_READ). 0 or an error code.
    virtual long openKey(const std::wstring& subKey, RegKey& out);
    // RegQueryValueExW: with a buffer too small for the data returns
    // kErrorMoreData and sets size to the size needed; otherwise copies the
    // data, sets size to its length and type to its type.
    virtual long queryValue(RegKey key, const std::wstring& name, std::uint32_t& type,
                            std::uint8_t* data, std::uint32_t& size);
    virtual void closeKey(RegKey key);
    // Opens HKLM\subKey for reading and writing, creating it when missing
    // (RegCreateKeyExW, non-volatile). 0 or an error code.
    virtual long createKey(const std::wstring& subKey, RegKey& out);
    // RegSetValueExW: stores `size` bytes of data as the value's data.
    virtual long writeValue(RegKey key, const std::wstring& name, std::uint32_t type,
                            const std::uint8_t* data, std::uint32_t size);
    // Where the values below HKLM\subKey come from, named as an
    // administrator would look for them ("registry key HKLM\..." or
    // "registry file /path"). missing is set when that source does not
    // exist at all, so that every value takes its default.
    virtual std::wstring describeSource(const std::wstring& subKey, bool& missing);
};

}  // namespace platform
