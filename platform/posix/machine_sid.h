// Security identifiers for Linux accounts. Local users and groups live in the
// machine's own domain S-1-5-21-A-B-C: user RID = 1000 + 2 * uid, group RID =
// 1001 + 2 * gid. A, B and C come from the id libsystemd derives for this
// program from /etc/machine-id (or, without one, from a stable hash of the
// host name), so that the machine id itself never leaves the machine.
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

// This program's application id, 3ae98ca8-3e9b-4a4a-8fb9-7af79f0f6fd8.
extern const MachineId kApplicationId;
// The machine id as this program may show it, as
// `systemd-id128 machine-id --app-specific=<kApplicationId>` prints it
// (sd_id128_get_machine_app_specific); false without a usable machine id.
bool appSpecificMachineId(MachineId& out);
// The first 12 bytes of an id as three little-endian 32-bit numbers.
MachineDomain machineDomainFromId(const MachineId& id);
// The same with 16 bytes that hash the host name (FNV-1a, stable across
// runs) in place of the app-specific id.
MachineDomain machineDomainFromHostName(const std::string& hostName);
// From the app-specific id when there is one, else from the host name.
MachineDomain chooseMachineDomain(const MachineId* appSpecific, const std::string& hostName);
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
