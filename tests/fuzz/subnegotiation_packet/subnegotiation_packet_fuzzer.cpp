// The identity packet for arbitrary users: either it decodes back to its
// input (lengths, the organisation name cut at 255 bytes, "DOMAIN\name"
// texts, every group in order), or the build raises the logic error for the
// first field that is too long, in packet order.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "socks/subnegotiation_packet.h"
#include "support/text_conversion.h"

namespace {

constexpr std::size_t kMaxField = 65535;

void check(bool condition) {
    if (!condition)
        std::abort();
}

// Reads the fuzzer's bytes as a recipe for one user; zeros once used up.
class Recipe {
public:
    Recipe(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    std::uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>((byte() << 8) | byte()); }

    // A text of a few UTF-16 units, any units at all; or, now and then, one
    // long enough to reach the packet's limits.
    std::wstring text() {
        const std::uint8_t length = byte();
        if (length >= 0xFC) {
            const std::size_t units = 21800 + u16() % 300;  // about 65535 bytes as UTF-8
            return std::wstring(units, static_cast<wchar_t>(0x800 + byte()));  // 3 bytes each
        }
        std::wstring out;
        for (std::uint8_t i = 0; i < length % 24; ++i)
            out.push_back(static_cast<wchar_t>(u16()));
        return out;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

// The bytes of a text in the packet: UTF-8 up to the first NUL, without
// trailing zero bytes.
std::string expectedText(const std::wstring& text) {
    return packetText(text);
}

std::string expectedAccount(const std::wstring& domain, const std::wstring& name) {
    const std::string d = expectedText(domain);
    const std::string n = expectedText(name);
    return d.empty() ? n : d + "\\" + n;
}

// Text that converts both ways without loss: no NUL, no surrogate.
bool plain(const std::wstring& text) {
    for (wchar_t c : text) {
        if (c == 0 || (c >= 0xD800 && c <= 0xDFFF))
            return false;
    }
    return true;
}

// Reads the packet back field by field.
class Reader {
public:
    explicit Reader(const std::vector<std::uint8_t>& packet) : m_packet(packet) {}
    std::uint8_t byte() {
        check(m_pos < m_packet.size());
        return m_packet[m_pos++];
    }
    std::size_t u16() {
        const std::size_t high = byte();
        return (high << 8) | byte();
    }
    std::string bytes(std::size_t n) {
        check(m_packet.size() - m_pos >= n);
        const std::string out(m_packet.begin() + static_cast<std::ptrdiff_t>(m_pos),
                              m_packet.begin() + static_cast<std::ptrdiff_t>(m_pos + n));
        m_pos += n;
        return out;
    }
    bool atEnd() const { return m_pos == m_packet.size(); }

private:
    const std::vector<std::uint8_t>& m_packet;
    std::size_t m_pos = 0;
};

// The packet's texts, each converted once (long ones are costly), and the
// logic error the build must raise, if any.
struct Expected {
    explicit Expected(const std::wstring& organization, const UserInfo& user)
        : org(expectedText(organization)), user(expectedAccount(user.domain, user.name)) {
        for (const AccountInfo& group : user.groups)
            groups.push_back({expectedText(group.sid), expectedAccount(group.domain, group.name)});
        if (this->user.size() > kMaxField)
            error = "user name too long";
        for (std::size_t i = 0; i < groups.size() && error.empty(); ++i) {
            if (groups[i].first.size() > kMaxField)
                error = "gid too long";
            else if (groups[i].second.size() > kMaxField)
                error = "group name too long";
        }
    }

    std::string org;  // not cut yet
    std::string user;
    std::vector<std::pair<std::string, std::string>> groups;  // GID, GNAME
    std::string error;
};

void checkDecodesBack(const std::vector<std::uint8_t>& packet, std::uint8_t version,
                      const std::wstring& organization, const UserInfo& user,
                      const Expected& expected) {
    Reader reader(packet);
    check(reader.byte() == version);
    const std::string org = expected.org.substr(0, 255);
    check(reader.byte() == org.size());
    check(reader.bytes(org.size()) == org);
    if (plain(organization) && expected.org.size() <= 255)
        check(utf8ToWide(org) == organization);

    check(reader.u16() == expected.user.size());
    check(reader.bytes(expected.user.size()) == expected.user);
    check(reader.u16() == user.groups.size());
    for (std::size_t i = 0; i < user.groups.size(); ++i) {
        const std::string& sid = expected.groups[i].first;
        check(reader.u16() == sid.size());
        check(reader.bytes(sid.size()) == sid);
        if (plain(user.groups[i].sid))
            check(utf8ToWide(sid) == user.groups[i].sid);
        const std::string& name = expected.groups[i].second;
        check(reader.u16() == name.size());
        check(reader.bytes(name.size()) == name);
    }
    check(reader.atEnd());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Recipe recipe(data, size);
    const std::uint8_t version = recipe.byte();
    const std::wstring organization = recipe.text();
    UserInfo user;
    user.domain = recipe.text();
    user.name = recipe.text();
    user.sid = recipe.text();  // never sent
    // Up to seven groups. More than 65535 groups is one count check, which
    // the unit tests cover; that many groups in every run would slow the
    // fuzzer down a hundredfold.
    const std::uint8_t groups = recipe.byte() % 8;
    for (std::size_t i = 0; i < groups; ++i) {
        AccountInfo group;
        group.sid = recipe.text();
        group.domain = recipe.text();
        group.name = recipe.text();
        user.groups.push_back(group);
    }

    const Expected expected(organization, user);
    try {
        const std::vector<std::uint8_t> packet =
            buildSubnegotiationPacket(version, organization, user);
        check(expected.error.empty());
        checkDecodesBack(packet, version, organization, user, expected);
    } catch (const std::logic_error& e) {
        check(!expected.error.empty() && expected.error == e.what());
    }
    return 0;
}
