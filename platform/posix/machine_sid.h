// Security identifiers for Linux accounts. Local users and groups live in the
// machine's own domain S-1-5-21-A-B-C: user RID = 1000 + 2 * uid, group RID =
// 1001 + 2 * gid. A, B and C come from an id derived for this program from
// /etc/machine-id (or, without it, from a stable hash of the host name), so
// that the machine id itself never leaves the machine.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/identity.h"

namespace platform {
namespace posix {

struct MachineDomain {
    std::uint32_t a = 0;
    std::uint32_t b = 0;
    std::uint32_t c = 0;
};

using MachineId = std::array<std::uint8_t, 16>;

// 32 hex digits, optionally followed by white space (the file ends in a
// line feed). Anything else is refused.
bool parseMachineId(const std::string& text, MachineId& out);
// This program's application id, 3ae98ca8-3e9b-4a4a-8fb9-7af79f0f6fd8.
extern const MachineId kApplicationId;
// The machine id as this program may show it: HMAC-SHA256 keyed with the
// machine id over kApplicationId, its first 16 bytes marked as a version 4
// UUID (byte 6 high nibble 4, byte 8 top bits 10).
MachineId appSpecificId(const MachineId& machineId);
// The first 12 bytes of appSpecificId(machineId) as three little-endian
// 32-bit numbers.
MachineDomain machineDomainFromId(const MachineId& machineId);
// The same with 16 bytes that hash the host name (FNV-1a, stable across
// runs) in place of the machine id.
MachineDomain machineDomainFromHostName(const std::string& hostName);
// machine-id file when it parses, else the host name.
MachineDomain loadMachineDomain(const std::string& machineIdPath, const std::string& hostName);
// This machine's domain, read once per process.
const MachineDomain& machineDomain();

enum class AccountKind { User, Group };

// False when the id does not fit a 32-bit RID.
bool accountSid(const MachineDomain& domain, AccountKind kind, std::uint32_t id, Sid& out);
// Maps a SID of the machine's domain back to its account; false for any
// other SID (other domains, malformed bytes, RIDs below the account bases).
bool accountFromSid(const MachineDomain& domain, const Sid& sid, AccountKind& kind,
                    std::uint32_t& id);

// Revision 1, at most 15 sub-authorities and exactly the bytes they need.
bool isWellFormedSid(const Sid& sid);
// "S-1-5-21-..." as ConvertSidToStringSid writes it; false when malformed.
bool sidText(const Sid& sid, std::string& out);

}  // namespace posix
}  // namespace platform
