// An in-memory Parameters key: typed values, settable open/query errors, and
// a record of the calls, so readers can be checked for closing every key
// and for the buffer-growth protocol.
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

    void setValue(const std::wstring& name, std::uint32_t type, std::vector<std::uint8_t> bytes);
    // UTF-16LE units of text, with or without a terminating NUL.
    void setString(const std::wstring& name, const std::wstring& text, bool withNul = true);
    void setDword(const std::wstring& name, std::uint32_t value);

    // Non-zero: every open / query fails with this code.
    long m_openError = 0;
    long m_queryError = 0;

    std::vector<std::wstring> m_openedPaths;
    // The buffer size offered by each query, in order.
    std::vector<std::uint32_t> m_offeredSizes;
    std::size_t openHandleCount() const { return m_openHandles.size(); }

private:
    std::map<std::wstring, std::pair<std::uint32_t, std::vector<std::uint8_t>>> m_values;
    std::set<platform::RegKey> m_openHandles;
    platform::RegKey m_lastHandle = 0;
};
