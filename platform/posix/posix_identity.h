// Sessions, tokens and accounts on Linux. The session of a process is its
// real uid; the "user token" of session U describes the account with uid U
// and its groups, with SIDs in the machine's own domain.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/identity.h"

namespace platform {

class PosixIdentity : public Identity {
public:
    std::uint32_t ownerSessionId(SocketOwner uid, std::int64_t createdBy,
                                 std::uint32_t& session) override;
    std::uint32_t enumerateSessions(std::vector<SessionEntry>& out) override;
    std::uint32_t queryUserToken(std::uint32_t session, Token& out) override;
    std::uint32_t duplicateToken(Token token, Token& out) override;
    void closeToken(Token token) override;
    std::uint32_t getTokenInformation(Token token, std::uint32_t infoClass, std::uint8_t* buffer,
                                      std::uint32_t size, std::uint32_t& returned) override;
    bool tokenUserSid(const std::vector<std::uint8_t>& info, Sid& out) override;
    bool tokenGroupSids(const std::vector<std::uint8_t>& info, std::vector<Sid>& out) override;
    std::uint32_t lookupAccountSid(const Sid& sid, std::uint32_t capacity, std::wstring& name,
                                   std::wstring& domain) override;
    bool sidToString(const Sid& sid, std::wstring& out) override;

private:
    // What a token stands for; never changed once made, so duplicates share it.
    struct TokenData {
        Sid user;
        std::vector<Sid> groups;
    };

    Token addToken(std::shared_ptr<const TokenData> data);
    std::shared_ptr<const TokenData> findToken(Token token);

    std::mutex m_mutex;
    std::map<Token, std::shared_ptr<const TokenData>> m_tokens;
    Token m_nextToken = 1;
};

}  // namespace platform
