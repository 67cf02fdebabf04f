#include "support/text_conversion.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "platform/platform.h"

namespace {

[[noreturn]] void throwConversionFailure(const char* call, std::uint32_t lastError) {
    throw std::logic_error(std::string(call) +
                           "() failed, last error = " + std::to_string(lastError));
}

template <typename String>
void dropTrailingNuls(String& s) {
    while (!s.empty() && s.back() == 0)
        s.pop_back();
}

}  // namespace

std::string wideToUtf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    platform::Text& conv = platform::text();
    std::uint32_t error = 0;
    const int size = conv.wideToMultiByte(text.c_str(), nullptr, 0, error);
    if (size <= 0)
        throwConversionFailure("WideCharToMultiByte", error);
    std::string result(static_cast<std::size_t>(size), '\0');
    if (conv.wideToMultiByte(text.c_str(), &result[0], size, error) <= 0) {
        throwConversionFailure("WideCharToMultiByte", error);
    }
    dropTrailingNuls(result);
    return result;
}

std::wstring utf8ToWide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    platform::Text& conv = platform::text();
    std::uint32_t error = 0;
    const int size = conv.multiByteToWide(text.c_str(), nullptr, 0, error);
    if (size <= 0)
        throwConversionFailure("MultiByteToWideChar", error);
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    if (conv.multiByteToWide(text.c_str(), &result[0], size, error) <= 0) {
        throwConversionFailure("MultiByteToWideChar", error);
    }
    dropTrailingNuls(result);
    return result;
}

std::string systemErrorText(std::uint32_t code) {
    constexpr std::uint32_t kCapacity = 1024;
    std::vector<wchar_t> buffer(kCapacity, L'\0');
    if (platform::text().formatMessage(code, buffer.data(), kCapacity) == 0) {
        return "INTERNAL ERROR: FormatMessage failed";
    }
    // Bounded by the buffer even if the platform forgot the terminating NUL.
    const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
    std::string text = wideToUtf8(std::wstring(buffer.begin(), end));
    const std::size_t lineBreak = text.find("\r\n");
    if (lineBreak != std::string::npos)
        text.erase(lineBreak);
    return text;
}

std::string errorCodeText(int code) {
    return "(error code " + std::to_string(code) + " - " +
           systemErrorText(static_cast<std::uint32_t>(code)) + ")";
}

std::vector<std::string> splitString(const std::string& text, const std::string& delimiter) {
    std::vector<std::string> pieces;
    if (delimiter.empty()) {  // would never advance; the whole text is one piece
        if (!text.empty())
            pieces.push_back(text);
        return pieces;
    }
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t found = text.find(delimiter, pos);
        if (found == std::string::npos) {
            pieces.push_back(text.substr(pos));
            break;
        }
        pieces.push_back(text.substr(pos, found - pos));
        pos = found + delimiter.size();
    }
    return pieces;
}

namespace {

std::string v6Text(const std::array<std::uint8_t, 16>& a) {
    // The longest run of zero groups (two or more) becomes "::".
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        int j = i;
        while (j < 8 && a[2 * j] == 0 && a[2 * j + 1] == 0)
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j > i ? j : i + 1;
    }
    std::string out;
    char group[8];
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            out += "::";
            i += bestLength - 1;
            continue;
        }
        if (!out.empty() && out.back() != ':')
            out += ':';
        std::snprintf(group, sizeof group, "%x", (a[2 * i] << 8) | a[2 * i + 1]);
        out += group;
    }
    return out;
}

}  // namespace

std::string addressText(const platform::SockAddr& addr) {
    const std::string port = std::to_string(platform::netToHost16(addr.port));
    if (addr.family == platform::kAfInet6)
        return "[" + v6Text(addr.addr6) + "]:" + port;
    const std::uint32_t a = platform::netToHost32(addr.addr);
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." +
           std::to_string((a >> 8) & 0xFF) + "." + std::to_string(a & 0xFF) + ":" + port;
}
