#include "platform/posix/machine_sid.h"

#include <systemd/sd-id128.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace platform {
namespace posix {
namespace {

constexpr std::uint8_t kSidRevision = 1;
constexpr std::uint8_t kMaxSubAuthorities = 15;
constexpr std::size_t kSidHeaderBytes = 8;
constexpr std::uint8_t kNtAuthority = 5;
constexpr std::uint32_t kNonUniqueDomain = 21;  // SECURITY_NT_NON_UNIQUE
constexpr std::uint32_t kUserRidBase = 1000;
constexpr std::uint32_t kGroupRidBase = 1001;

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

bool appSpecificMachineId(MachineId& out) {
    sd_id128_t app;
    std::memcpy(app.bytes, kApplicationId.data(), sizeof app.bytes);
    sd_id128_t id;
    if (::sd_id128_get_machine_app_specific(app, &id) < 0)
        return false;
    std::memcpy(out.data(), id.bytes, out.size());
    return true;
}

MachineDomain machineDomainFromId(const MachineId& id) {
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

MachineDomain chooseMachineDomain(const MachineId* appSpecific, const std::string& hostName) {
    return appSpecific != nullptr ? machineDomainFromId(*appSpecific)
                                  : machineDomainFromHostName(hostName);
}

namespace {

MachineDomain loadMachineDomain() {
    MachineId id{};
    return chooseMachineDomain(appSpecificMachineId(id) ? &id : nullptr, currentHostName());
}

}  // namespace

const MachineDomain& machineDomain() {
    static const MachineDomain g_domain = loadMachineDomain();
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
