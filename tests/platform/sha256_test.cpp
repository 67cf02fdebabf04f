// SHA-256 and HMAC-SHA256 against published test vectors (FIPS 180-2 and
// RFC 4231) and a few key lengths around the block size.
#include "platform/posix/sha256.h"

#include <algorithm>
#include <string>

#include "gtest/gtest.h"

namespace {

using platform::posix::hmacSha256;
using platform::posix::Sha256;
using platform::posix::Sha256Digest;

std::string hex(const Sha256Digest& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : digest) {
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

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

TEST(HmacSha256Test, MatchesPublishedMacs) {
    std::string counting;
    for (char c = 1; c <= 25; ++c)
        counting += c;
    const struct {
        std::string key;
        std::string data;
        const char* mac;
    } cases[] = {
        {repeated('\x0b', 20), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {repeated('\xaa', 20), repeated('\xdd', 50),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {counting, repeated('\xcd', 50),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {repeated('\x0c', 20), "Test With Truncation",
         "a3b6167473100ee06e0c796c2955552bfa6f7c0a6a8aef8b93f860aab0cd20c5"},
        // A key of exactly one block is used as it is; a longer one is hashed.
        {repeated('\xaa', 64), "",
         "db2cf93f633fcdfd9bb7f3b99763a63725cb8e38b4fa60a87d0e94b71d8b5970"},
        {repeated('\xaa', 131), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {repeated('\xaa', 131),
         "This is a test using a larger than block-size key and a larger than block-size data. "
         "The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.mac, hex(hmacSha256(c.key.data(), c.key.size(), c.data.data(), c.data.size())))
            << "key of " << c.key.size() << " bytes, data of " << c.data.size();
    }
}

}  // namespace
