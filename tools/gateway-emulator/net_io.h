// The gateway emulator's buffered reader, with bounded line reads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace emu {

// Buffered reads from a connected socket. Everything the peer sends goes
// through one reader, so bytes that arrive early (say, a request pipelined
// behind a handshake message) are never lost between protocol stages.
class Reader {
public:
    explicit Reader(int fd, std::size_t bufferSize = 64 * 1024);

    // False on end of stream or error before n bytes arrived.
    bool readExact(void* out, std::size_t n);
    bool readByte(std::uint8_t& out);
    bool readU16(std::uint16_t& out);  // big-endian
    // Reads one line ending in LF (a CR before it is dropped). False on end of
    // stream, error, or a line longer than maxLen bytes.
    bool readLine(std::string& line, std::size_t maxLen);
    // Up to max bytes, at least one; 0 on end of stream or error.
    std::size_t readSome(void* out, std::size_t max);
    // Reads and drops bytes until max bytes were skipped; false on early end.
    bool skip(std::uint64_t n);
    // Reads and drops everything until the peer closes.
    void drainUntilEof();
    // Hands over the bytes received but not yet read, for a raw relay.
    std::string takeBuffered();

private:
    bool fill();

    int m_fd;
    std::vector<char> m_buf;
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
};

}  // namespace emu
