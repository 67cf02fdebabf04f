#include "tests/fakes/fake_registry.h"

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
