#include "tests/fakes/fake_registry.h"

#include <cstdio>
#include <cstring>

#include "platform/errors.h"

namespace {

std::wstring folded(std::wstring s) {
    for (auto& c : s) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return s;
}

}  // namespace

long FakeRegistry::openKey(const std::wstring& subKey, platform::RegKey& out) {
    m_openedPaths.push_back(subKey);
    out = 0;
    if (m_openError != 0)
        return m_openError;
    out = ++m_lastHandle;
    m_openHandles.insert(out);
    return 0;
}

long FakeRegistry::queryValue(platform::RegKey key, const std::wstring& name, std::uint32_t& type,
                              std::uint8_t* data, std::uint32_t& size) {
    m_offeredSizes.push_back(size);
    if (m_openHandles.count(key) == 0)
        return static_cast<long>(platform::kErrorInvalidHandle);
    if (m_queryError != 0)
        return m_queryError;
    const auto it = m_values.find(folded(name));
    if (it == m_values.end())
        return static_cast<long>(platform::kErrorFileNotFound);
    const auto& bytes = it->second.second;
    const auto needed = static_cast<std::uint32_t>(bytes.size());
    type = it->second.first;
    if (data == nullptr) {
        size = needed;
        return 0;
    }
    if (size < needed) {
        size = needed;
        return static_cast<long>(platform::kErrorMoreData);
    }
    if (needed > 0)
        std::memcpy(data, bytes.data(), needed);
    size = needed;
    return 0;
}

void FakeRegistry::closeKey(platform::RegKey key) {
    m_openHandles.erase(key);
}

long FakeRegistry::createKey(const std::wstring& subKey, platform::RegKey& out) {
    m_createdPaths.push_back(subKey);
    out = 0;
    if (m_createError != 0)
        return m_createError;
    out = ++m_lastHandle;
    m_openHandles.insert(out);
    return 0;
}

long FakeRegistry::writeValue(platform::RegKey key, const std::wstring& name, std::uint32_t type,
                              const std::uint8_t* data, std::uint32_t size) {
    if (m_openHandles.count(key) == 0)
        return static_cast<long>(platform::kErrorInvalidHandle);
    if (m_writeError != 0)
        return m_writeError;
    m_writtenNames.push_back(name);
    setValue(name, type, std::vector<std::uint8_t>(data, data + size));
    return 0;
}

std::string FakeRegistry::describeValue(const std::wstring& name) const {
    const auto it = m_values.find(folded(name));
    if (it == m_values.end())
        return "absent";
    const auto& bytes = it->second.second;
    if (it->second.first == platform::kRegDword && bytes.size() == 4) {
        const std::uint32_t value = bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                    (static_cast<std::uint32_t>(bytes[3]) << 24);
        return "dword:" + std::to_string(value);
    }
    if (it->second.first != platform::kRegSz)
        return "type " + std::to_string(it->second.first);
    std::string text;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const unsigned unit = bytes[i] | (bytes[i + 1] << 8);
        if (unit == 0)
            break;
        if (unit < 0x80) {
            text.push_back(static_cast<char>(unit));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "<%x>", unit);
            text += hex;
        }
    }
    return "sz:" + text;
}

void FakeRegistry::setValue(const std::wstring& name, std::uint32_t type,
                            std::vector<std::uint8_t> bytes) {
    m_values[folded(name)] = {type, std::move(bytes)};
}

void FakeRegistry::setString(const std::wstring& name, const std::wstring& text, bool withNul) {
    std::vector<std::uint8_t> bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
    }
    if (withNul)
        bytes.insert(bytes.end(), {0, 0});
    setValue(name, platform::kRegSz, std::move(bytes));
}

void FakeRegistry::setDword(const std::wstring& name, std::uint32_t value) {
    setValue(name, platform::kRegDword,
             {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
              static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}
