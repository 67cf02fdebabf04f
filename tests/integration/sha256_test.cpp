// SHA-256 against published test vectors (FIPS 180-2).
#include "tools/gateway-emulator/sha256.h"

#include <algorithm>
#include <string>

#include "gtest/gtest.h"

namespace {

using emu::Sha256;

std::string sha256Hex(const std::string& data) {
    Sha256 digest;
    digest.update(data.data(), data.size());
    return digest.finishHex();
}

std::string repeated(char c, std::size_t n) {
    return std::string(n, c);
}

TEST(Sha256Test, MatchesPublishedDigests) {
    const struct {
        std::string data;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {repeated('a', 1000000),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.digest, sha256Hex(c.data)) << c.data.size() << " bytes";
}

TEST(Sha256Test, PiecewiseUpdatesMatchOneShot) {
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(i * 7);
    Sha256 pieces;
    for (std::size_t pos = 0, step = 1; pos < data.size(); pos += step, step = step % 97 + 13)
        pieces.update(data.data() + pos, std::min(step, data.size() - pos));
    EXPECT_EQ(sha256Hex(data), pieces.finishHex());
}

}  // namespace
