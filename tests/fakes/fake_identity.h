// Scripted sessions, users, groups and tokens for the identity seam. SIDs
// are written as their text ("S-1-5-21-...") in tests; the binary form the
// seam carries is private to this fake and only it parses it back.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/identity.h"

class FakeIdentity : public platform::Identity {
public:
    struct Session {
        std::uint32_t state = platform::kWtsActive;
        std::wstring userSid;
        std::vector<std::wstring> groupSids;  // token order
        std::uint32_t tokenError = 0;         // queryUserToken
        std::uint32_t duplicateError = 0;
        std::uint32_t userInfoError = 0;    // getTokenInformation(TokenUser)
        std::uint32_t groupsInfoError = 0;  // getTokenInformation(TokenGroups)
    };

    // Scripting; safe to call while other threads use the fake.
    void addAccount(const std::wstring& sid, const std::wstring& domain, const std::wstring& name);
    void failLookup(const std::wstring& sid, std::uint32_t error);
    void failSidToString(const std::wstring& sid);
    void setSession(std::uint32_t id, const Session& session);
    void removeSession(std::uint32_t id);  // its token is gone: ERROR_NO_TOKEN
    void setProcess(std::uint32_t pid, std::uint32_t session);
    void failProcess(std::uint32_t pid, std::uint32_t error);
    void failEnumeration(std::uint32_t error);
    // As Windows does: a process that started after the time a caller gives
    // (the accept of the connection) is refused with 87.
    void setProcessStart(std::uint32_t pid, std::int64_t ticks);
    // Token queries for the session wait until released, as a user directory
    // that hangs makes them.
    void holdTokenQueries(std::uint32_t session);
    void releaseTokenQueries();
    // Waits (bounded) until n queries are held.
    bool waitForHeldQueries(int n);
    // For the next `rounds` calls the token information grows by a few bytes
    // on every call, so a buffer sized by the previous call is too small.
    void growTokenInformation(int rounds);
    // Token information that the parsers reject.
    void corruptTokenInformation(bool corrupt);

    // Observation.
    int openTokens() const;    // handles opened and not yet closed
    int badCloses() const;     // closes of handles never opened or closed twice
    int tokenQueries() const;  // queryUserToken calls
    int tokenInformationCalls() const;
    std::vector<std::uint32_t> queriedSessions() const;

    // The seam.
    std::uint32_t ownerSessionId(platform::SocketOwner owner, std::int64_t createdBy,
                                 std::uint32_t& session) override;
    std::uint32_t enumerateSessions(std::vector<platform::SessionEntry>& out) override;
    std::uint32_t queryUserToken(std::uint32_t session, platform::Token& out) override;
    std::uint32_t duplicateToken(platform::Token token, platform::Token& out) override;
    void closeToken(platform::Token token) override;
    std::uint32_t getTokenInformation(platform::Token token, std::uint32_t infoClass,
                                      std::uint8_t* buffer, std::uint32_t size,
                                      std::uint32_t& returned) override;
    bool tokenUserSid(const std::vector<std::uint8_t>& info, platform::Sid& out) override;
    bool tokenGroupSids(const std::vector<std::uint8_t>& info,
                        std::vector<platform::Sid>& out) override;
    std::uint32_t lookupAccountSid(const platform::Sid& sid, std::uint32_t capacity,
                                   std::wstring& name, std::wstring& domain) override;
    bool sidToString(const platform::Sid& sid, std::wstring& out) override;

    static platform::Sid encodeSid(const std::wstring& text);
    static bool decodeSid(const platform::Sid& sid, std::wstring& text);

private:
    struct Account {
        std::wstring domain;
        std::wstring name;
        std::uint32_t lookupError = 0;
    };

    std::vector<std::uint8_t> serialise(const Session& session, std::uint32_t infoClass) const;
    platform::Token newHandle(const Session& session);

    mutable std::mutex m_mutex;
    std::map<std::wstring, Account> m_accounts;
    std::map<std::wstring, bool> m_sidToStringFails;
    std::map<std::uint32_t, Session> m_sessions;
    std::vector<std::uint32_t> m_sessionOrder;
    std::map<std::uint32_t, std::uint32_t> m_processes;
    std::map<std::uint32_t, std::uint32_t> m_processErrors;
    std::map<std::uint32_t, std::int64_t> m_processStarts;
    std::condition_variable m_heldChanged;
    std::uint32_t m_heldSession = 0;
    bool m_holding = false;
    int m_held = 0;
    std::uint32_t m_enumerationError = 0;
    int m_growthRounds = 0;
    std::uint32_t m_growth = 0;
    bool m_corrupt = false;

    // Open handle -> the session as it was when its token was queried: a
    // token is a snapshot, a later logon in the session does not change it.
    std::map<platform::Token, Session> m_handles;
    platform::Token m_nextHandle = 0x100;
    int m_badCloses = 0;
    int m_tokenQueries = 0;
    int m_tokenInformationCalls = 0;
    std::vector<std::uint32_t> m_queriedSessions;
};
