// An in-memory Parameters key: typed values, settable open/query/write
// errors, and a record of the calls, so readers can be checked for closing
// every key and for the buffer-growth protocol, and writers for what they
// wrote.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/registry.h"

class FakeRegistry : public platform::Registry {
public:
    long openKey(const std::wstring& subKey, platform::RegKey& out) override;
    long queryValue(platform::RegKey key, const std::wstring& name, std::uint32_t& type,
                    std::uint8_t* data, std::uint32_t& size) override;
    void closeKey(platform::RegKey key) override;
    long createKey(const std::wstring& subKey, platform::RegKey& out) override;
    long writeValue(platform::RegKey key, const std::wstring& name, std::uint32_t type,
                    const std::uint8_t* data, std::uint32_t size) override;

    void setValue(const std::wstring& name, std::uint32_t type, std::vector<std::uint8_t> bytes);
    // UTF-16LE units of text, with or without a terminating NUL.
    void setString(const std::wstring& name, const std::wstring& text, bool withNul = true);
    void setDword(const std::wstring& name, std::uint32_t value);

    // A value as "sz:<text>" (text up to its NUL, other than ASCII as
    // "<hex>"),
    // "dword:<number>", "type <n>" for others, or "absent".
    std::string describeValue(const std::wstring& name) const;

    // Non-zero: every open / query / create / write fails with this code.
    long m_openError = 0;
    long m_queryError = 0;
    long m_createError = 0;
    long m_writeError = 0;

    std::vector<std::wstring> m_createdPaths;
    // The names of the values written, in order.
    std::vector<std::wstring> m_writtenNames;
    std::vector<std::wstring> m_openedPaths;
    // The buffer size offered by each query, in order.
    std::vector<std::uint32_t> m_offeredSizes;
    std::size_t openHandleCount() const { return m_openHandles.size(); }

private:
    std::map<std::wstring, std::pair<std::uint32_t, std::vector<std::uint8_t>>> m_values;
    std::set<platform::RegKey> m_openHandles;
    platform::RegKey m_lastHandle = 0;
};
