// Reader of the registry export format ("Windows Registry Editor Version
// 5.00"), which holds the service's parameters on Linux. The file is
// untrusted input: malformed lines are skipped.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

struct RegFileValue {
    std::uint32_t type = 0;
    std::vector<std::uint8_t> data;
};

// The values of one key, by name with ASCII letters folded to lower case.
using RegFileKey = std::map<std::wstring, RegFileValue>;

class RegFile {
public:
    // Bytes as stored: UTF-16LE with its byte order mark, or UTF-8 (with or
    // without one).
    static RegFile fromBytes(const std::vector<std::uint8_t>& bytes);
    // Text as UTF-16 units, one line per LF (a CR before it is dropped).
    static RegFile fromText(const std::wstring& text);

    // The key HKEY_LOCAL_MACHINE\subKey, or null. Case-insensitive (ASCII).
    const RegFileKey* findLocalMachineKey(const std::wstring& subKey) const;
    // The value of a key, or null. Case-insensitive (ASCII).
    static const RegFileValue* findValue(const RegFileKey& key, const std::wstring& name);

private:
    std::map<std::wstring, RegFileKey> m_keys;  // by normalised full path
};

// Bytes of a file as UTF-16 units: UTF-16LE after an FF FE mark (an odd last
// byte is dropped), otherwise UTF-8 with ill-formed bytes replaced.
std::wstring decodeRegFileBytes(const std::vector<std::uint8_t>& bytes);

}  // namespace platform
