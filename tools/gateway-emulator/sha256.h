// SHA-256 (FIPS 180-4), incremental: the emulator's digest of what it was
// sent (/sink).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace emu {

using Sha256Digest = std::array<std::uint8_t, 32>;

class Sha256 {
public:
    Sha256();
    void update(const void* data, std::size_t len);
    Sha256Digest finish();
    // Lower-case hex of the digest; ends the computation.
    std::string finishHex();

private:
    void compress(const std::uint8_t* block);

    std::array<std::uint32_t, 8> m_state;
    std::array<std::uint8_t, 64> m_block{};
    std::size_t m_blockLen = 0;
    std::uint64_t m_totalBytes = 0;
};

}  // namespace emu
