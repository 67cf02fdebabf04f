#include "service/configure.h"

#include <cstdint>
#include <map>

#include "config/registry_config.h"
#include "config/server_parameters.h"
#include "platform/errors.h"
#include "platform/platform.h"
#include "service/console.h"
#include "service/installer.h"
#include "support/service_names.h"
#include "support/text_conversion.h"

namespace {

constexpr std::uint32_t kMaxNumber = 0xFFFFFFFFu;
const std::wstring kPreviousSuffix = L".previous";

struct Parameter {
    std::wstring name;
    std::uint32_t type;         // kRegSz or kRegDword
    std::wstring defaultValue;  // numbers in decimal
};

struct Request {
    std::wstring given;
    std::wstring previous;
};

// In the order the server reads them, with the server's own defaults.
std::vector<Parameter> parameters() {
    const ServerParameters defaults;
    return {
        {L"OrganizationName", platform::kRegSz, defaults.organizationName},
        {L"TarnwicketIpAddr", platform::kRegSz, utf8ToWide(defaults.tarnwicketIpAddr)},
        {L"TarnwicketPort", platform::kRegSz, std::to_wstring(defaults.tarnwicketPort)},
        {L"ListenPort", platform::kRegDword, std::to_wstring(defaults.listenPort)},
        {L"SocketTimeout", platform::kRegDword, std::to_wstring(defaults.socketTimeout)},
    };
}

// Decimal digits only, as an administrator types them.
bool parseNumber(const std::wstring& text, std::uint32_t& out) {
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (const wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    if (value > kMaxNumber)
        return false;
    out = static_cast<std::uint32_t>(value);
    return true;
}

// The registry search writes a REG_DWORD as "#" and a signed decimal
// number, and doubles a REG_SZ text's leading "#". Anything else (another
// type, nothing found) gives false.
bool decodePrevious(std::uint32_t type, const std::wstring& found, std::wstring& value) {
    if (type == platform::kRegSz) {
        if (found.empty() || (found[0] == L'#' && found.compare(0, 2, L"##") != 0))
            return false;
        value = found[0] == L'#' ? found.substr(1) : found;
        return true;
    }
    if (found.size() < 2 || found[0] != L'#')
        return false;
    const bool negative = found[1] == L'-';
    std::uint32_t magnitude = 0;
    if (!parseNumber(found.substr(negative || found[1] == L'+' ? 2 : 1), magnitude) ||
        (negative && magnitude > 0x80000000u)) {
        return false;
    }
    value = std::to_wstring(negative ? 0u - magnitude : magnitude);
    return true;
}

// Fills `requests` by parameter name; false (reported) for an argument that
// names no parameter or a given number that is not one.
bool parseArguments(const std::vector<std::wstring>& arguments,
                    std::map<std::wstring, Request>& requests) {
    std::map<std::wstring, std::uint32_t> types;
    for (const Parameter& p : parameters())
        types[p.name] = p.type;
    for (const std::wstring& argument : arguments) {
        const std::size_t equals = argument.find(L'=');
        std::wstring name = argument.substr(0, equals);
        const bool previous = name.size() > kPreviousSuffix.size() &&
                              name.compare(name.size() - kPreviousSuffix.size(),
                                           kPreviousSuffix.size(), kPreviousSuffix) == 0;
        if (previous)
            name.resize(name.size() - kPreviousSuffix.size());
        if (equals == std::wstring::npos || types.count(name) == 0) {
            consolePrint(std::wstring(L"Unable to configure ") + kServiceDisplayName +
                         L" - unknown argument " + argument + L"\n");
            return false;
        }
        const std::wstring value = argument.substr(equals + 1);
        std::uint32_t number = 0;
        if (!previous && !value.empty() && types[name] == platform::kRegDword &&
            !parseNumber(value, number)) {
            consolePrint(L"Unable to set " + name + L" - not a number: " + value + L"\n");
            return false;
        }
        (previous ? requests[name].previous : requests[name].given) = value;
    }
    return true;
}

std::vector<std::uint8_t> valueBytes(std::uint32_t type, const std::wstring& value) {
    std::vector<std::uint8_t> bytes;
    if (type == platform::kRegDword) {
        std::uint32_t number = 0;
        parseNumber(value, number);
        for (int shift = 0; shift < 32; shift += 8)
            bytes.push_back(static_cast<std::uint8_t>(number >> shift));
        return bytes;
    }
    // UTF-16LE with its terminating NUL.
    for (const wchar_t unit : value + L'\0') {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return bytes;
}

// A value that is there, whatever its type, is the administrator's.
bool valueExists(platform::RegKey key, const std::wstring& name) {
    std::uint32_t type = 0;
    std::uint32_t size = 0;
    const long result = platform::registry().queryValue(key, name, type, nullptr, size);
    return result == 0 || result == static_cast<long>(platform::kErrorMoreData);
}

bool applyParameter(platform::RegKey key, const Parameter& parameter, const Request& request) {
    std::wstring value = request.given;
    if (value.empty()) {
        if (valueExists(key, parameter.name))
            return true;
        if (!decodePrevious(parameter.type, request.previous, value))
            value = parameter.defaultValue;
    }
    const std::vector<std::uint8_t> bytes = valueBytes(parameter.type, value);
    const long error =
        platform::registry().writeValue(key, parameter.name, parameter.type, bytes.data(),
                                        static_cast<std::uint32_t>(bytes.size()));
    if (error != 0) {
        printFailure(L"Unable to set " + parameter.name + L" - ",
                     static_cast<std::uint32_t>(error));
        return false;
    }
    return true;
}

bool applyParameters(const std::map<std::wstring, Request>& requests) {
    platform::UniqueRegKey key;
    const long error = platform::registry().createKey(parametersKeyPath(), *key.out());
    if (error != 0) {
        printFailure(L"Unable to open registry key HKLM\\" + parametersKeyPath() + L" - ",
                     static_cast<std::uint32_t>(error));
        return false;
    }
    bool ok = true;
    for (const Parameter& parameter : parameters()) {
        const auto it = requests.find(parameter.name);
        ok = applyParameter(key.get(), parameter, it == requests.end() ? Request() : it->second) &&
             ok;
    }
    return ok;
}

}  // namespace

bool configureService(const std::vector<std::wstring>& arguments) {
    std::map<std::wstring, Request> requests;
    if (!parseArguments(arguments, requests))
        return false;
    const bool parametersSet = applyParameters(requests);
    if (!setServiceRestartActions() || !parametersSet)
        return false;
    consolePrint(std::wstring(kServiceDisplayName) + L" configured.\n");
    return true;
}
