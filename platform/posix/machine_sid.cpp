#include "platform/posix/machine_sid.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <fstream>

#include "platform/posix/sha256.h"

namespace platform {
namespace posix {
namespace {

constexpr const char* kMachineIdPath = "/etc/machine-id";
constexpr std::uint8_t kSidRevision = 1;
constexpr std::uint8_t kMaxSubAuthorities = 15;
constexpr std::size_t kSidHeaderBytes = 8;
constexpr std::uint8_t kNtAuthority = 5;
constexpr std::uint32_t kNonUniqueDomain = 21;  // SECURITY_NT_NON_UNIQUE
constexpr std::uint32_t kUserRidBase = 1000;
constexpr std::uint32_t kGroupRidBase = 1001;

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::uint32_t littleEndian32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

void putLittleEndian32(Sid& sid, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        sid.push_back(static_cast<std::uint8_t>(v >> shift));
}

std::uint64_t fnv1a64(std::uint8_t salt, const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    auto mix = [&h](std::uint8_t byte) {
        h ^= byte;
        h *= 0x100000001b3ull;
    };
    mix(salt);
    for (char c : text)
        mix(static_cast<std::uint8_t>(c));
    return h;
}

std::string readSmallFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    // machine-id is 33 bytes; read a little more so that longer junk is seen.
    char buffer[128];
    in.read(buffer, sizeof buffer);
    text.assign(buffer, static_cast<std::size_t>(in.gcount()));
    return text;
}

std::string currentHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return std::string();
    return name;
}

std::uint32_t subAuthority(const Sid& sid, std::size_t index) {
    return littleEndian32(sid.data() + kSidHeaderBytes + 4 * index);
}

}  // namespace

const MachineId kApplicationId = {0x3a, 0xe9, 0x8c, 0xa8, 0x3e, 0x9b, 0x4a, 0x4a,
                                  0x8f, 0xb9, 0x7a, 0xf7, 0x9f, 0x0f, 0x6f, 0xd8};

bool parseMachineId(const std::string& text, MachineId& out) {
    std::size_t end = text.size();
    while (end > 0 && std::isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    if (end != 2 * out.size())
        return false;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const int high = hexValue(text[2 * i]);
        const int low = hexValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        out[i] = static_cast<std::uint8_t>(high << 4 | low);
    }
    return true;
}

MachineId appSpecificId(const MachineId& machineId) {
    const Sha256Digest mac = hmacSha256(machineId.data(), machineId.size(), kApplicationId.data(),
                                        kApplicationId.size());
    MachineId id{};
    std::copy(mac.begin(), mac.begin() + id.size(), id.begin());
    id[6] = static_cast<std::uint8_t>((id[6] & 0x0F) | 0x40);
    id[8] = static_cast<std::uint8_t>((id[8] & 0x3F) | 0x80);
    return id;
}

MachineDomain machineDomainFromId(const MachineId& machineId) {
    const MachineId id = appSpecificId(machineId);
    return MachineDomain{littleEndian32(&id[0]), littleEndian32(&id[4]), littleEndian32(&id[8])};
}

MachineDomain machineDomainFromHostName(const std::string& hostName) {
    MachineId id{};
    for (std::uint8_t half = 0; half < 2; ++half) {
        const std::uint64_t h = fnv1a64(half, hostName);
        for (int i = 0; i < 8; ++i)
            id[half * 8 + i] = static_cast<std::uint8_t>(h >> (8 * i));
    }
    return machineDomainFromId(id);
}

MachineDomain loadMachineDomain(const std::string& machineIdPath, const std::string& hostName) {
    MachineId id{};
    if (parseMachineId(readSmallFile(machineIdPath), id))
        return machineDomainFromId(id);
    return machineDomainFromHostName(hostName);
}

const MachineDomain& machineDomain() {
    static const MachineDomain g_domain = loadMachineDomain(kMachineIdPath, currentHostName());
    return g_domain;
}

bool accountSid(const MachineDomain& domain, AccountKind kind, std::uint32_t id, Sid& out) {
    const std::uint32_t base = kind == AccountKind::User ? kUserRidBase : kGroupRidBase;
    if (id > (UINT32_MAX - base) / 2)
        return false;
    const std::uint32_t rid = base + 2 * id;
    out = Sid{kSidRevision, 5, 0, 0, 0, 0, 0, kNtAuthority};
    for (std::uint32_t sub : {kNonUniqueDomain, domain.a, domain.b, domain.c, rid})
        putLittleEndian32(out, sub);
    return true;
}

bool accountFromSid(const MachineDomain& domain, const Sid& sid, AccountKind& kind,
                    std::uint32_t& id) {
    if (!isWellFormedSid(sid) || sid[1] != 5)
        return false;
    const Sid prefix{kSidRevision, 5, 0, 0, 0, 0, 0, kNtAuthority};
    if (!std::equal(prefix.begin(), prefix.end(), sid.begin()))
        return false;
    if (subAuthority(sid, 0) != kNonUniqueDomain || subAuthority(sid, 1) != domain.a ||
        subAuthority(sid, 2) != domain.b || subAuthority(sid, 3) != domain.c)
        return false;
    const std::uint32_t rid = subAuthority(sid, 4);
    if (rid < kUserRidBase)
        return false;
    if (rid % 2 == 0) {
        kind = AccountKind::User;
        id = (rid - kUserRidBase) / 2;
    } else {
        kind = AccountKind::Group;
        id = (rid - kGroupRidBase) / 2;
    }
    return true;
}

bool isWellFormedSid(const Sid& sid) {
    if (sid.size() < kSidHeaderBytes || sid[0] != kSidRevision || sid[1] > kMaxSubAuthorities)
        return false;
    return sid.size() == kSidHeaderBytes + 4 * std::size_t{sid[1]};
}

bool sidText(const Sid& sid, std::string& out) {
    if (!isWellFormedSid(sid))
        return false;
    std::uint64_t authority = 0;
    for (std::size_t i = 2; i < kSidHeaderBytes; ++i)
        authority = authority << 8 | sid[i];
    out = "S-" + std::to_string(sid[0]) + "-";
    if (authority < (std::uint64_t{1} << 32)) {
        out += std::to_string(authority);
    } else {
        // Large authorities are written in hexadecimal, twelve digits.
        static const char kDigits[] = "0123456789ABCDEF";
        out += "0x";
        for (int shift = 44; shift >= 0; shift -= 4)
            out += kDigits[(authority >> shift) & 0xF];
    }
    for (std::size_t i = 0; i < sid[1]; ++i)
        out += "-" + std::to_string(subAuthority(sid, i));
    return true;
}

}  // namespace posix
}  // namespace platform
