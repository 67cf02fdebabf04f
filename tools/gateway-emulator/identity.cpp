#include "tools/gateway-emulator/identity.h"

#include <fcntl.h>
#include <unistd.h>
#include <cstdio>

namespace emu {
namespace {

bool readBytes(Reader& reader, std::size_t n, std::string& out) {
    out.assign(n, '\0');
    return n == 0 || reader.readExact(&out[0], n);
}

// Length of the valid UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t utf8SequenceLength(const std::string& s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    std::size_t len;
    std::uint32_t cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
        cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
        return 0;
    if (cp >= 0xD800 && cp <= 0xDFFF)
        return 0;
    return len;
}

}  // namespace

ParseResult readIdentity(Reader& reader, Identity& out) {
    out = Identity();
    std::uint8_t orgLen = 0;
    std::uint16_t userLen = 0;
    std::uint16_t groupCount = 0;
    if (!reader.readByte(out.version))
        return ParseResult::Eof;
    if (out.version != 1)
        return ParseResult::BadVersion;
    if (!reader.readByte(orgLen) || !readBytes(reader, orgLen, out.org))
        return ParseResult::Eof;
    if (!reader.readU16(userLen) || !readBytes(reader, userLen, out.user))
        return ParseResult::Eof;
    if (!reader.readU16(groupCount))
        return ParseResult::Eof;
    std::uint64_t total = 2u + orgLen + 2u + userLen + 2u;
    out.groups.reserve(groupCount < 1024 ? groupCount : 1024);
    for (unsigned i = 0; i < groupCount; ++i) {
        GroupEntry group;
        std::uint16_t sidLen = 0;
        std::uint16_t nameLen = 0;
        if (!reader.readU16(sidLen))
            return ParseResult::Eof;
        total += 2u + sidLen;
        if (total > kMaxIdentityPacket)
            return ParseResult::TooLarge;
        if (!readBytes(reader, sidLen, group.sid))
            return ParseResult::Eof;
        if (!reader.readU16(nameLen))
            return ParseResult::Eof;
        total += 2u + nameLen;
        if (total > kMaxIdentityPacket)
            return ParseResult::TooLarge;
        if (!readBytes(reader, nameLen, group.name))
            return ParseResult::Eof;
        out.groups.push_back(std::move(group));
    }
    return ParseResult::Ok;
}

std::string jsonString(const std::string& utf8) {
    std::string out = "\"";
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t len = utf8SequenceLength(utf8, i);
        if (len == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        if (len > 1) {
            out.append(utf8, i, len);
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string identityJson(const Identity& identity, const std::string& peer) {
    std::string out = "{\"peer\": " + jsonString(peer) + ", \"org\": " + jsonString(identity.org) +
                      ", \"user\": " + jsonString(identity.user) + ", \"groups\": [";
    for (std::size_t i = 0; i < identity.groups.size(); ++i) {
        if (i > 0)
            out += ", ";
        out += "{\"sid\": " + jsonString(identity.groups[i].sid) +
               ", \"name\": " + jsonString(identity.groups[i].name) + "}";
    }
    out += "]}";
    return out;
}

std::string identityText(const Identity& identity) {
    std::string out = "org: " + identity.org + "\n";
    out += "user: " + identity.user + "\n";
    out += "groups: " + std::to_string(identity.groups.size()) + "\n";
    for (const GroupEntry& group : identity.groups) {
        out += "group: " + group.sid + " " + group.name + "\n";
    }
    return out;
}

bool IdentityLog::open(const std::string& path) {
    m_fd = toolnet::Fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    return m_fd.valid();
}

void IdentityLog::append(const Identity& identity, const std::string& peer) {
    if (!m_fd.valid())
        return;
    std::string line = identityJson(identity, peer) + "\n";
    std::lock_guard<std::mutex> lock(m_mutex);
    ssize_t written = ::write(m_fd.get(), line.data(), line.size());
    (void)written;
}

}  // namespace emu
