#include "tools/gateway-emulator/net_io.h"

#include <sys/socket.h>
#include <algorithm>
#include <cerrno>
#include <cstring>

namespace emu {

Reader::Reader(int fd, std::size_t bufferSize) : m_fd(fd), m_buf(bufferSize) {}

bool Reader::fill() {
    m_pos = 0;
    m_len = 0;
    for (;;) {
        ssize_t n = ::recv(m_fd, m_buf.data(), m_buf.size(), 0);
        if (n > 0) {
            m_len = static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

bool Reader::readExact(void* out, std::size_t n) {
    char* dst = static_cast<char*>(out);
    while (n > 0) {
        std::size_t got = readSome(dst, n);
        if (got == 0)
            return false;
        dst += got;
        n -= got;
    }
    return true;
}

bool Reader::readByte(std::uint8_t& out) {
    return readExact(&out, 1);
}

bool Reader::readU16(std::uint16_t& out) {
    std::uint8_t b[2];
    if (!readExact(b, 2))
        return false;
    out = static_cast<std::uint16_t>((b[0] << 8) | b[1]);
    return true;
}

bool Reader::readLine(std::string& line, std::size_t maxLen) {
    line.clear();
    for (;;) {
        if (m_pos == m_len && !fill())
            return false;
        const char* start = m_buf.data() + m_pos;
        const void* lf = std::memchr(start, '\n', m_len - m_pos);
        std::size_t take =
            lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - start) : m_len - m_pos;
        if (line.size() + take > maxLen)
            return false;
        line.append(start, take);
        m_pos += take;
        if (lf) {
            ++m_pos;  // the LF itself
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            return true;
        }
    }
}

std::size_t Reader::readSome(void* out, std::size_t max) {
    if (max == 0)
        return 0;
    if (m_pos == m_len) {
        // Large reads go straight to the caller's buffer.
        if (max >= m_buf.size()) {
            for (;;) {
                ssize_t n = ::recv(m_fd, out, max, 0);
                if (n > 0)
                    return static_cast<std::size_t>(n);
                if (n < 0 && errno == EINTR)
                    continue;
                return 0;
            }
        }
        if (!fill())
            return 0;
    }
    std::size_t take = std::min(max, m_len - m_pos);
    std::memcpy(out, m_buf.data() + m_pos, take);
    m_pos += take;
    return take;
}

bool Reader::skip(std::uint64_t n) {
    char scratch[16 * 1024];
    while (n > 0) {
        std::size_t want = n < sizeof(scratch) ? static_cast<std::size_t>(n) : sizeof(scratch);
        std::size_t got = readSome(scratch, want);
        if (got == 0)
            return false;
        n -= got;
    }
    return true;
}

void Reader::drainUntilEof() {
    char scratch[4096];
    while (readSome(scratch, sizeof(scratch)) > 0) {
    }
}

std::string Reader::takeBuffered() {
    std::string out(m_buf.data() + m_pos, m_len - m_pos);
    m_pos = 0;
    m_len = 0;
    return out;
}

}  // namespace emu
