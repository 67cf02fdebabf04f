#include "config/registry_config.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"
#include "support/service_names.h"

namespace {

constexpr std::uint32_t kInitialBufferSize = 256;

// Reads one value of the expected type into data (size trimmed to what the
// registry returned). Logs and returns false on any failure.
bool queryTypedValue(const char* operation, const std::wstring& name, std::uint32_t expectedType,
                     const wchar_t* expectedTypeName, std::vector<std::uint8_t>& data) {
    platform::UniqueRegKey key;
    if (!regOpenKey(*key.out()))
        return false;

    data.assign(kInitialBufferSize, 0);
    std::uint32_t type = 0;
    std::uint32_t size = kInitialBufferSize;
    long result = platform::registry().queryValue(key.get(), name, type, data.data(), size);
    while (result == static_cast<long>(platform::kErrorMoreData)) {
        data.resize(size);
        result = platform::registry().queryValue(key.get(), name, type, data.data(), size);
    }
    if (result != 0) {
        (LogMessage(operation) << L", failed to read registry value " << name << L", error = "
                               << result)
            .log();
        return false;
    }
    if (type != expectedType) {
        (LogMessage(operation) << L", registry value " << name << L", has the wrong type, expected "
                               << expectedTypeName << L", got " << type)
            .log();
        return false;
    }
    data.resize(std::min<std::size_t>(size, data.size()));
    return true;
}

bool isStoiSpace(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

std::wstring parametersKeyPath() {
    return std::wstring(L"SYSTEM\\CurrentControlSet\\Services\\") + kServiceName + L"\\Parameters";
}

bool regOpenKey(platform::RegKey& key) {
    const std::wstring path = parametersKeyPath();
    const long result = platform::registry().openKey(path, key);
    if (result != 0) {
        (LogMessage("regOpenKey()")
         << L", failed to open registry key HKLM\\" << path << L", error = " << result)
            .log();
        return false;
    }
    return true;
}

bool getConfigWstringValue(const std::wstring& name, std::wstring& value) {
    std::vector<std::uint8_t> data;
    if (!queryTypedValue("getConfigWstringValue()", name, platform::kRegSz, L"REG_SZ", data)) {
        return false;
    }
    // UTF-16LE units up to the first NUL; an odd last byte is not a unit.
    std::wstring text;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        const auto unit = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
        if (unit == 0)
            break;
        text.push_back(unit);
    }
    value = text;
    return true;
}

bool getConfigUint32Value(const std::wstring& name, std::uint32_t& value) {
    std::vector<std::uint8_t> data;
    if (!queryTypedValue("getConfigUint32Value()", name, platform::kRegDword, L"REG_DWORD", data)) {
        return false;
    }
    // Little-endian; data shorter than four bytes reads as zero-padded.
    std::uint32_t number = 0;
    for (std::size_t i = 0; i < 4 && i < data.size(); ++i) {
        number |= static_cast<std::uint32_t>(data[i]) << (8 * i);
    }
    value = number;
    return true;
}

std::uint16_t portFromText(const std::wstring& text) {
    std::size_t pos = 0;
    while (pos < text.size() && isStoiSpace(text[pos]))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == L'+' || text[pos] == L'-')) {
        negative = text[pos] == L'-';
        ++pos;
    }
    const std::size_t firstDigit = pos;
    // Magnitude saturates just past the int range so that long digit runs
    // cannot overflow the accumulator.
    constexpr long long kLimit = static_cast<long long>(std::numeric_limits<int>::max()) + 2;
    long long magnitude = 0;
    while (pos < text.size() && text[pos] >= L'0' && text[pos] <= L'9') {
        magnitude = std::min(kLimit, magnitude * 10 + (text[pos] - L'0'));
        ++pos;
    }
    if (pos == firstDigit)
        throw std::invalid_argument("invalid stoi argument");
    const long long number = negative ? -magnitude : magnitude;
    if (number < std::numeric_limits<int>::min() || number > std::numeric_limits<int>::max()) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(number));
}
