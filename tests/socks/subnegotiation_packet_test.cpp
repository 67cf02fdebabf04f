#include "socks/subnegotiation_packet.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ascii(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

std::wstring wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::wstring repeated(wchar_t unit, std::size_t count) {
    return std::wstring(count, unit);
}

UserInfo user(const std::string& domain, const std::string& name) {
    UserInfo info;
    info.domain = wide(domain);
    info.name = wide(name);
    info.sid = L"S-1-5-21-1-2-3-1001";
    return info;
}

AccountInfo group(const std::wstring& domain, const std::wstring& name, const std::wstring& sid) {
    return AccountInfo{domain, name, sid};
}

std::string logicErrorOf(const std::wstring& org, const UserInfo& info) {
    try {
        buildSubnegotiationPacket(1, org, info);
    } catch (const std::logic_error& e) {
        return e.what();
    }
    return "no error";
}

TEST(SubnegotiationPacket, WorkedExampleIsByteExact) {
    UserInfo info = user("D", "u");
    info.groups.push_back(group(L"BUILTIN", L"Users", L"S-1-5-32-545"));

    const Bytes expected = {0x01, 0x00, 0x00, 0x03, 0x44, 0x5C, 0x75, 0x00, 0x01, 0x00,
                            0x0C, 0x53, 0x2D, 0x31, 0x2D, 0x35, 0x2D, 0x33, 0x32, 0x2D,
                            0x35, 0x34, 0x35, 0x00, 0x0D, 0x42, 0x55, 0x49, 0x4C, 0x54,
                            0x49, 0x4E, 0x5C, 0x55, 0x73, 0x65, 0x72, 0x73};
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);
    ASSERT_EQ(packet.size(), 38u);
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, OrganisationAndUserWithoutDomainOrGroups) {
    const Bytes packet = buildSubnegotiationPacket(7, L"Acme", user("", "alice"));
    Bytes expected = {0x07, 0x04};
    for (auto b : ascii("Acme"))
        expected.push_back(b);
    expected.insert(expected.end(), {0x00, 0x05});
    for (auto b : ascii("alice"))
        expected.push_back(b);
    expected.insert(expected.end(), {0x00, 0x00});
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, SystemUserIsSentWithBackslashAndNoGroups) {
    const Bytes packet = buildSubnegotiationPacket(1, L"", user("NT AUTHORITY", "SYSTEM"));
    Bytes expected = {0x01, 0x00, 0x00, 0x13};
    for (auto b : ascii("NT AUTHORITY\\SYSTEM"))
        expected.push_back(b);
    expected.insert(expected.end(), {0x00, 0x00});
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, LongOrganisationIsCutTo255BytesEvenInsideACharacter) {
    // 150 two-byte characters: 300 bytes, cut after the first byte of the
    // 128th character.
    const std::wstring org = repeated(static_cast<wchar_t>(u'\u00E9'), 150);
    const Bytes packet = buildSubnegotiationPacket(1, org, user("", "u"));
    ASSERT_GE(packet.size(), 2u + 255u);
    EXPECT_EQ(packet[1], 255);
    EXPECT_EQ(packet[2], 0xC3);
    EXPECT_EQ(packet[3], 0xA9);
    EXPECT_EQ(packet[2 + 254], 0xC3);  // the dangling lead byte
    // USER follows directly after the cut.
    EXPECT_EQ(packet[257], 0x00);
    EXPECT_EQ(packet[258], 0x01);
    EXPECT_EQ(packet[259], 'u');
}

TEST(SubnegotiationPacket, NonAsciiNamesAreSentAsUtf8WithByteLengths) {
    UserInfo info;
    // U+00C4 (2 bytes), U+20AC (3 bytes), U+1F600 as a surrogate pair (4 bytes).
    info.name = {static_cast<wchar_t>(u'\u00C4'), static_cast<wchar_t>(u'\u20AC'),
                 static_cast<wchar_t>(0xD83D), static_cast<wchar_t>(0xDE00)};
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);
    const Bytes expected = {0x01, 0x00, 0x00, 0x09, 0xC3, 0x84, 0xE2, 0x82,
                            0xAC, 0xF0, 0x9F, 0x98, 0x80, 0x00, 0x00};
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, GroupsWithMissingPartsKeepTheirEntries) {
    UserInfo info = user("D", "u");
    info.groups.push_back(group(L"", L"", L"S-1-2-3"));   // name lookup failed
    info.groups.push_back(group(L"", L"Everyone", L""));  // no SID text
    info.groups.push_back(group(L"DOM", L"", L"S-9"));    // domain only
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);

    Bytes expected = {0x01, 0x00, 0x00, 0x03, 'D', '\\', 'u', 0x00, 0x03};
    expected.insert(expected.end(), {0x00, 0x07});
    for (auto b : ascii("S-1-2-3"))
        expected.push_back(b);
    expected.insert(expected.end(), {0x00, 0x00});
    expected.insert(expected.end(), {0x00, 0x00, 0x00, 0x08});
    for (auto b : ascii("Everyone"))
        expected.push_back(b);
    expected.insert(expected.end(), {0x00, 0x03, 'S', '-', '9', 0x00, 0x04, 'D', 'O', 'M', '\\'});
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, TrailingZeroCharactersAreNotSent) {
    UserInfo info;
    info.domain = std::wstring(L"D") + L'\0' + L'\0';
    info.name = std::wstring(L"u") + L'\0';
    const Bytes packet = buildSubnegotiationPacket(1, std::wstring(L"O") + L'\0', info);
    const Bytes expected = {0x01, 0x01, 'O', 0x00, 0x03, 'D', '\\', 'u', 0x00, 0x00};
    EXPECT_EQ(packet, expected);
}

TEST(SubnegotiationPacket, LengthsUseBothBytesBigEndian) {
    UserInfo info;
    info.name = repeated(L'n', 0x0123);
    info.groups.push_back(group(L"", repeated(L'g', 0x0201), repeated(L's', 0x0100)));
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);
    ASSERT_EQ(packet.size(), 2u + 2u + 0x123u + 2u + 4u + 0x100u + 0x201u);
    EXPECT_EQ(packet[2], 0x01);
    EXPECT_EQ(packet[3], 0x23);
    const std::size_t groupsAt = 4 + 0x123;
    EXPECT_EQ(packet[groupsAt], 0x00);
    EXPECT_EQ(packet[groupsAt + 1], 0x01);
    EXPECT_EQ(packet[groupsAt + 2], 0x01);
    EXPECT_EQ(packet[groupsAt + 3], 0x00);
    const std::size_t nameLenAt = groupsAt + 4 + 0x100;
    EXPECT_EQ(packet[nameLenAt], 0x02);
    EXPECT_EQ(packet[nameLenAt + 1], 0x01);
}

TEST(SubnegotiationPacket, FieldsAtTheLimitAreAccepted) {
    UserInfo info;
    info.name = repeated(L'n', 65535);
    info.groups.push_back(group(L"", repeated(L'g', 65535), repeated(L's', 65535)));
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);
    EXPECT_EQ(packet.size(), 2u + 2u + 65535u + 2u + 4u + 65535u + 65535u);
    EXPECT_EQ(packet[2], 0xFF);
    EXPECT_EQ(packet[3], 0xFF);
}

TEST(SubnegotiationPacket, OversizedFieldsRaiseLogicErrorsInPacketOrder) {
    UserInfo longUser;
    longUser.domain = L"D";
    longUser.name = repeated(L'n', 65534);  // "D\" makes it 65536 bytes
    longUser.groups.push_back(group(L"", L"g", repeated(L's', 70000)));
    EXPECT_EQ(logicErrorOf(L"", longUser), "user name too long");

    UserInfo longGid;
    longGid.groups.push_back(group(L"", repeated(L'g', 70000), repeated(L's', 65536)));
    EXPECT_EQ(logicErrorOf(L"", longGid), "gid too long");

    UserInfo longGroupName;
    longGroupName.groups.push_back(group(L"G", L"ok", L"S-1"));
    longGroupName.groups.push_back(group(L"D", repeated(L'g', 65534), L"S-2"));
    EXPECT_EQ(logicErrorOf(L"", longGroupName), "group name too long");

    // A three-byte character pushes a 65535-unit name past the byte limit.
    UserInfo wideUser;
    wideUser.name = repeated(L'n', 65533) + static_cast<wchar_t>(u'\u20AC');
    EXPECT_EQ(logicErrorOf(L"", wideUser), "user name too long");
}

TEST(SubnegotiationPacket, TooManyGroupsIsRejectedButTheMaximumIsNot) {
    UserInfo info;
    info.groups.assign(65535, group(L"", L"", L""));
    const Bytes packet = buildSubnegotiationPacket(1, L"", info);
    EXPECT_EQ(packet.size(), 2u + 2u + 2u + 65535u * 4u);
    EXPECT_EQ(packet[4], 0xFF);
    EXPECT_EQ(packet[5], 0xFF);

    info.groups.push_back(group(L"", L"", L""));
    EXPECT_EQ(logicErrorOf(L"", info), "too many groups");
}

}  // namespace
