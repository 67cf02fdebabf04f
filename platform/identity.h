// Identity seam: processes to sessions, sessions to user tokens, token
// contents, SIDs and account names. Every call returns 0 on success or a
// Win32 error code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/tcp_table.h"

namespace platform {

using Token = std::uintptr_t;
constexpr Token kInvalidToken = 0;

// A security identifier in its binary form: revision, sub-authority count,
// 6-byte big-endian identifier authority, then 32-bit little-endian
// sub-authorities.
using Sid = std::vector<std::uint8_t>;

constexpr std::uint32_t kWtsActive = 0;
constexpr std::uint32_t kWtsDisconnected = 4;

constexpr std::uint32_t kTokenUser = 1;
constexpr std::uint32_t kTokenGroups = 2;

struct SessionEntry {
    std::uint32_t sessionId = 0;
    std::uint32_t state = 0;
};

class Identity {
public:
    virtual ~Identity() = default;
    // The session of a socket's owner (tcp_table.h). Windows opens the
    // process and keeps it open while it asks for the session, so the id
    // cannot pass to another process meanwhile, and refuses a process created
    // after `createdBy` (system ticks, the accept's time): such a process was
    // not there to make the socket. Linux: the uid is the session.
    virtual std::uint32_t ownerSessionId(SocketOwner owner, std::int64_t createdBy,
                                         std::uint32_t& session);
    // WTSEnumerateSessionsW on the local server.
    virtual std::uint32_t enumerateSessions(std::vector<SessionEntry>& out);
    virtual std::uint32_t queryUserToken(std::uint32_t session, Token& out);
    // DuplicateToken with SecurityDelegation.
    virtual std::uint32_t duplicateToken(Token token, Token& out);
    virtual void closeToken(Token token);
    // GetTokenInformation: kErrorInsufficientBuffer with returned set to the
    // size needed when buffer is null or too small.
    virtual std::uint32_t getTokenInformation(Token token, std::uint32_t infoClass,
                                              std::uint8_t* buffer, std::uint32_t size,
                                              std::uint32_t& returned);
    // Read the SIDs out of a buffer that getTokenInformation filled.
    virtual bool tokenUserSid(const std::vector<std::uint8_t>& info, Sid& out);
    virtual bool tokenGroupSids(const std::vector<std::uint8_t>& info, std::vector<Sid>& out);
    // LookupAccountSidW on the local computer into name and domain buffers of
    // `capacity` UTF-16 units each (kErrorInsufficientBuffer when one does
    // not fit, terminating NUL included).
    virtual std::uint32_t lookupAccountSid(const Sid& sid, std::uint32_t capacity,
                                           std::wstring& name, std::wstring& domain);
    // ConvertSidToStringSidW.
    virtual bool sidToString(const Sid& sid, std::wstring& out);
};

}  // namespace platform
