// The identity packet for arbitrary users: either it is, byte for byte, the
// packet that the wire format gives for its input (written out here, with a
// UTF-8 encoder of its own: lengths, the organisation name cut at 255 bytes,
// "DOMAIN\name" texts, every group in order), or the build raises the logic
// error for the first field that is too long, in packet order.
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

// The code point of the UTF-16 units at pos, which moves past them: a
// surrogate pair joined, a lone surrogate as U+FFFD.
std::uint32_t codePointAt(const std::wstring& text, std::size_t& pos) {
    const auto unit = [&text](std::size_t i) {
        return i < text.size() ? static_cast<std::uint32_t>(text[i]) : 0u;
    };
    const std::uint32_t first = unit(pos++);
    if (first < 0xD800 || first > 0xDFFF)
        return first;
    const std::uint32_t second = unit(pos);
    if (first > 0xDBFF || second < 0xDC00 || second > 0xDFFF)
        return 0xFFFD;
    ++pos;
    return 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00);
}

// The one to four UTF-8 bytes of a code point.
void appendUtf8(std::string& out, std::uint32_t cp) {
    const int tail = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    static const std::uint32_t kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    out.push_back(static_cast<char>(kLead[tail] | (cp >> (6 * tail))));
    for (int i = tail - 1; i >= 0; --i)
        out.push_back(static_cast<char>(0x80 | ((cp >> (6 * i)) & 0x3F)));
}

// UTF-8 of the UTF-16 units before the first NUL (the conversion reads the
// text as a C string). Written out here from the encoding's definition,
// apart from the product's converter.
std::string expectedText(const std::wstring& text) {
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size() && text[pos] != 0)
        appendUtf8(out, codePointAt(text, pos));
    return out;
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

// The packet as the wire format lays it out: VER, ORGLEN and ORG cut to 255
// bytes, ULEN and USER, NGROUPS, then GIDLEN, GID, GNAMELEN and GNAME per
// group; two-byte numbers big-endian.
std::vector<std::uint8_t> expectedPacket(std::uint8_t version, const Expected& expected) {
    std::vector<std::uint8_t> out{version};
    auto u16 = [&out](std::size_t n) {
        out.push_back(static_cast<std::uint8_t>(n >> 8));
        out.push_back(static_cast<std::uint8_t>(n & 0xFF));
    };
    auto bytes = [&out](const std::string& text) {
        out.insert(out.end(), text.begin(), text.end());
    };
    const std::string org = expected.org.substr(0, 255);
    out.push_back(static_cast<std::uint8_t>(org.size()));
    bytes(org);
    u16(expected.user.size());
    bytes(expected.user);
    u16(expected.groups.size());
    for (const auto& [gid, name] : expected.groups) {
        u16(gid.size());
        bytes(gid);
        u16(name.size());
        bytes(name);
    }
    return out;
}

// The texts that convert without loss read back as they were given.
void checkPlainTextsReadBack(const std::wstring& organization, const UserInfo& user,
                             const Expected& expected) {
    if (plain(organization) && expected.org.size() <= 255)
        check(utf8ToWide(expected.org) == organization);
    for (std::size_t i = 0; i < user.groups.size(); ++i) {
        if (plain(user.groups[i].sid))
            check(utf8ToWide(expected.groups[i].first) == user.groups[i].sid);
    }
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
        check(packet == expectedPacket(version, expected));
        checkPlainTextsReadBack(organization, user, expected);
    } catch (const std::logic_error& e) {
        check(!expected.error.empty() && expected.error == e.what());
    }
    return 0;
}
