// The identity packet that tells the gateway who is behind a browser
// connection: organisation, user, and every group with its SID and name.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "userinfo/account_info.h"

// UTF-8 of a wide text without trailing zero bytes.
std::string packetText(const std::wstring& text);

// "DOMAIN\name", or the name alone when the domain is empty.
std::string accountText(const std::wstring& domain, const std::wstring& name);

// Builds the whole packet: VER, ORGLEN, ORG (cut to 255 bytes), ULEN, USER,
// NGROUPS and per group GIDLEN, GID, GNAMELEN, GNAME; 2-byte numbers
// big-endian. Throws std::logic_error ("user name too long", "too many
// groups", "gid too long", "group name too long") before anything is sent.
std::vector<std::uint8_t> buildSubnegotiationPacket(std::uint8_t version,
                                                    const std::wstring& organizationName,
                                                    const UserInfo& user);
