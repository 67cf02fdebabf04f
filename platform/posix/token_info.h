// The byte form of token information on Linux. Private to this layer: only
// its own parsers read it back. Layout, all numbers 32-bit little-endian:
// information class, SID count, then per SID its length and its bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/identity.h"

namespace platform {
namespace posix {

std::vector<std::uint8_t> serialiseTokenSids(std::uint32_t infoClass, const std::vector<Sid>& sids);

// Bounds-checked: false for a wrong class, a truncated buffer or a SID that
// is not well formed. Bytes after the last SID are ignored, as a caller's
// buffer may be larger than the information.
bool parseTokenSids(const std::vector<std::uint8_t>& bytes, std::uint32_t infoClass,
                    std::vector<Sid>& sids);

}  // namespace posix
}  // namespace platform
