#include "platform/posix/token_info.h"

#include "platform/posix/machine_sid.h"

namespace platform {
namespace posix {
namespace {

void put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& bytes) : m_bytes(bytes) {}
    bool read32(std::uint32_t& v) {
        if (m_bytes.size() - m_pos < 4)
            return false;
        v = 0;
        for (int i = 3; i >= 0; --i)
            v = v << 8 | m_bytes[m_pos + static_cast<std::size_t>(i)];
        m_pos += 4;
        return true;
    }
    bool readBytes(std::uint32_t count, Sid& out) {
        if (m_bytes.size() - m_pos < count)
            return false;
        out.assign(m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos),
                   m_bytes.begin() + static_cast<std::ptrdiff_t>(m_pos + count));
        m_pos += count;
        return true;
    }
    std::size_t remaining() const { return m_bytes.size() - m_pos; }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_pos = 0;
};

}  // namespace

std::vector<std::uint8_t> serialiseTokenSids(std::uint32_t infoClass,
                                             const std::vector<Sid>& sids) {
    std::vector<std::uint8_t> out;
    put32(out, infoClass);
    put32(out, static_cast<std::uint32_t>(sids.size()));
    for (const Sid& sid : sids) {
        put32(out, static_cast<std::uint32_t>(sid.size()));
        out.insert(out.end(), sid.begin(), sid.end());
    }
    return out;
}

bool parseTokenSids(const std::vector<std::uint8_t>& bytes, std::uint32_t infoClass,
                    std::vector<Sid>& sids) {
    Reader reader(bytes);
    std::uint32_t storedClass = 0;
    std::uint32_t count = 0;
    if (!reader.read32(storedClass) || storedClass != infoClass || !reader.read32(count))
        return false;
    // Each SID takes at least its length field: a count that cannot fit is
    // refused before anything is reserved for it.
    if (count > reader.remaining() / 4)
        return false;
    std::vector<Sid> parsed;
    parsed.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t length = 0;
        Sid sid;
        if (!reader.read32(length) || !reader.readBytes(length, sid) || !isWellFormedSid(sid))
            return false;
        parsed.push_back(std::move(sid));
    }
    sids = std::move(parsed);
    return true;
}

}  // namespace posix
}  // namespace platform
