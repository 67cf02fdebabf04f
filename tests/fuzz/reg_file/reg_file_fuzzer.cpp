// The registry file reader over arbitrary bytes: it must never fail, and
// what it finds must not depend on how the text was encoded or on the
// letter case of the names asked for.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/posix/reg_file.h"

namespace {

using platform::RegFile;
using platform::RegFileKey;
using platform::RegFileValue;

const wchar_t* const kKeys[] = {
    L"SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters",
    L"SYSTEM\\CurrentControlSet\\Services\\VornClient",
    L"SOFTWARE",
};
const wchar_t* const kValues[] = {L"OrganizationName", L"TarnwicketIpAddr", L"TarnwicketPort",
                                  L"ListenPort",       L"SocketTimeout",    L""};

std::wstring upperAscii(std::wstring s) {
    for (auto& c : s) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return s;
}

// The same text as regedit writes it: UTF-16LE after a byte order mark.
std::vector<std::uint8_t> asUtf16Le(const std::wstring& text) {
    std::vector<std::uint8_t> bytes{0xFF, 0xFE};
    for (wchar_t c : text) {
        const auto unit = static_cast<std::uint32_t>(c);
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>((unit >> 8) & 0xFF));
    }
    return bytes;
}

bool sameValue(const RegFileValue* a, const RegFileValue* b) {
    if (a == nullptr || b == nullptr)
        return a == b;
    return a->type == b->type && a->data == b->data;
}

void check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::uint8_t> bytes(data, data + size);
    const RegFile file = RegFile::fromBytes(bytes);
    const std::wstring text = platform::decodeRegFileBytes(bytes);
    const RegFile reencoded = RegFile::fromBytes(asUtf16Le(text));

    for (const wchar_t* keyPath : kKeys) {
        const RegFileKey* key = file.findLocalMachineKey(keyPath);
        const RegFileKey* other = reencoded.findLocalMachineKey(keyPath);
        check((key == nullptr) == (other == nullptr));
        check(key == file.findLocalMachineKey(upperAscii(keyPath)));
        check(key == file.findLocalMachineKey(std::wstring(L"\\") + keyPath));
        if (key == nullptr)
            continue;
        check(key->size() == other->size());
        for (const auto& entry : *key)
            check(sameValue(&entry.second, RegFile::findValue(*other, entry.first)));
        for (const wchar_t* name : kValues) {
            const RegFileValue* value = RegFile::findValue(*key, name);
            check(value == RegFile::findValue(*key, upperAscii(name)));
            check(sameValue(value, RegFile::findValue(*other, name)));
        }
    }
    return 0;
}
