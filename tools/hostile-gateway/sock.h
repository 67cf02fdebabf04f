// Blocking socket helpers of the hostile gateway and its client driver, on
// top of the shared ones.
#pragma once

#include <cstddef>
#include <string>

#include "tools/common/tool_net.h"

namespace hg {

// Each byte its own segment: no Nagle, and a short pause between bytes.
bool writeBytewise(int fd, const std::string& bytes);
bool skipBytes(int fd, std::size_t len);
// Reads until the peer closes, fails, or the receive timeout passes.
void drainUntilEof(int fd);
// Reads and drops what arrives for at most ms milliseconds, or until the peer closes.
void drainFor(int fd, int ms);

}  // namespace hg
