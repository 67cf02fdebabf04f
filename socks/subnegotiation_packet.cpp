#include "socks/subnegotiation_packet.h"

#include <stdexcept>

#include "support/text_conversion.h"

namespace {

constexpr std::size_t kMaxOrgLen = 255;
constexpr std::size_t kMaxField = 65535;

void appendU16(std::vector<std::uint8_t>& out, std::size_t value) {
    out.push_back(static_cast<std::uint8_t>((value >> 8) & 0xFF));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

void appendBytes(std::vector<std::uint8_t>& out, const std::string& bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
}

// A 2-byte length followed by the bytes; too long a field is a logic error.
void appendField(std::vector<std::uint8_t>& out, const std::string& bytes, const char* tooLong) {
    if (bytes.size() > kMaxField)
        throw std::logic_error(tooLong);
    appendU16(out, bytes.size());
    appendBytes(out, bytes);
}

}  // namespace

std::string packetText(const std::wstring& text) {
    std::string utf8 = wideToUtf8(text);
    while (!utf8.empty() && utf8.back() == '\0')
        utf8.pop_back();
    return utf8;
}

std::string accountText(const std::wstring& domain, const std::wstring& name) {
    const std::string d = packetText(domain);
    const std::string n = packetText(name);
    return d.empty() ? n : d + "\\" + n;
}

std::vector<std::uint8_t> buildSubnegotiationPacket(std::uint8_t version,
                                                    const std::wstring& organizationName,
                                                    const UserInfo& user) {
    std::vector<std::uint8_t> packet;
    packet.push_back(version);

    std::string org = packetText(organizationName);
    // The cut may split a multi-byte character; the gateway gets bytes.
    if (org.size() > kMaxOrgLen)
        org.resize(kMaxOrgLen);
    packet.push_back(static_cast<std::uint8_t>(org.size()));
    appendBytes(packet, org);

    appendField(packet, accountText(user.domain, user.name), "user name too long");

    if (user.groups.size() > kMaxField)
        throw std::logic_error("too many groups");
    appendU16(packet, user.groups.size());
    for (const AccountInfo& group : user.groups) {
        appendField(packet, packetText(group.sid), "gid too long");
        appendField(packet, accountText(group.domain, group.name), "group name too long");
    }
    return packet;
}
