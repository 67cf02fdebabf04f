// Reading a session's user and groups straight from its user token.
#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "support/logging.h"
#include "userinfo/user_information.h"

namespace {

// Account names and domains are looked up into buffers of this many UTF-16
// units; a longer name fails the lookup rather than being retried.
constexpr std::uint32_t kAccountNameCapacity = 256;

// ERROR_INVALID_DATA: the platform handed back token information that does
// not parse.
constexpr std::uint32_t kErrorInvalidData = 13;

const char* const kLatestOp = "UserInformation::getLatestUserInfoFromSessionId()";

// Closes a token handle on every path once it has been opened.
struct TokenTraits {
    using Handle = platform::Token;
    static Handle invalid() { return platform::kInvalidToken; }
    static void release(Handle token) { platform::identity().closeToken(token); }
};
using TokenHandle = platform::UniqueHandle<TokenTraits>;

std::wstring upToNul(const std::wstring& text) {
    return text.substr(0, text.find(L'\0'));
}

// LookupAccountSidW on the local computer; 0 or the error code. Both
// outputs are empty on failure.
std::uint32_t lookupAccount(const platform::Sid& sid, std::wstring& domain, std::wstring& name) {
    std::wstring foundName;
    std::wstring foundDomain;
    const std::uint32_t rc =
        platform::identity().lookupAccountSid(sid, kAccountNameCapacity, foundName, foundDomain);
    if (rc != platform::kErrorSuccess)
        return rc;
    domain = upToNul(foundDomain);
    name = upToNul(foundName);
    return rc;
}

void reportUnreadable(std::uint32_t infoClass) {
    (LogMessage("UserInformation::getInformationFromToken()")
     << L", failed to get information (info = " << infoClass << L"), error = " << kErrorInvalidData)
        .log();
}

void reportNoToken(std::uint32_t sessionId, std::uint32_t rc) {
    // A user whose sockets have no account behind them (a uid that NSS
    // does not know) meets this on every connection.
    static MessageRateLimit g_missingLimit;
    static MessageRateLimit g_failedLimit;
    if (rc == platform::kErrorFileNotFound || rc == platform::kErrorNoToken) {
        (LogMessage() << L"Failed to get user token for session id " << sessionId
                      << L", last error = " << rc
                      << L"\n(This might be normal; did someone just log out?)")
            .log(g_missingLimit, kEventTypeWarning);
    } else {
        (LogMessage(kLatestOp) << L", failed to get user token for session id " << sessionId
                               << L", last error = " << rc)
            .log(g_failedLimit);
    }
}

// The session's user token and the duplicate its information is read from;
// false, reported, when either cannot be had.
bool openSessionToken(std::uint32_t sessionId, TokenHandle& token, TokenHandle& duplicate) {
    platform::Identity& identity = platform::identity();
    std::uint32_t rc = identity.queryUserToken(sessionId, *token.out());
    if (rc != platform::kErrorSuccess) {
        token.release();  // whatever the failed call left there is no token
        reportNoToken(sessionId, rc);
        return false;
    }
    rc = identity.duplicateToken(token.get(), *duplicate.out());
    if (rc != platform::kErrorSuccess) {
        duplicate.release();
        (LogMessage(kLatestOp) << L", failed to duplicate token, last error = " << rc).log();
        return false;
    }
    return true;
}

}  // namespace

std::wstring sidToString(const platform::Sid& sid) {
    std::wstring text;
    if (!platform::identity().sidToString(sid, text))
        return std::wstring();
    return text;
}

bool UserInformation::getLatestUserInfoFromSessionId(std::uint32_t sessionId, UserInfo& info) {
    info.reset();
    if (sessionId == 0)
        return fillSystemUserInfo(info);
    if (!readSessionUser(sessionId, info))
        return false;
    updateCache(sessionId, info);
    return true;
}

bool UserInformation::readSessionUser(std::uint32_t sessionId, UserInfo& info) {
    TokenHandle token;
    TokenHandle duplicate;
    if (!openSessionToken(sessionId, token, duplicate))
        return false;
    return readTokenUser(duplicate.get(), info) && readTokenGroups(duplicate.get(), info);
}

bool UserInformation::readTokenUser(platform::Token token, UserInfo& info) {
    std::vector<std::uint8_t> userBuffer;
    if (!getInformationFromToken(userBuffer, token, platform::kTokenUser))
        return false;
    platform::Sid userSid;
    if (!platform::identity().tokenUserSid(userBuffer, userSid)) {
        reportUnreadable(platform::kTokenUser);
        return false;
    }

    std::wstring domain;
    std::wstring name;
    const std::uint32_t rc = lookupAccount(userSid, domain, name);
    if (rc != platform::kErrorSuccess) {
        (LogMessage(kLatestOp) << L", LookupAccountSid() failed, last error = " << rc).log();
        return false;
    }
    info.domain = domain;
    info.name = name;
    info.sid = sidToString(userSid);
    return true;
}

bool UserInformation::readTokenGroups(platform::Token token, UserInfo& info) {
    std::vector<std::uint8_t> groupBuffer;
    if (!getInformationFromToken(groupBuffer, token, platform::kTokenGroups))
        return false;
    std::vector<platform::Sid> groupSids;
    if (!platform::identity().tokenGroupSids(groupBuffer, groupSids)) {
        reportUnreadable(platform::kTokenGroups);
        return false;
    }

    // Every group of the token counts, whatever its attributes or kind;
    // the cache does the filtering.
    std::vector<AccountInfo> groups;
    groups.reserve(groupSids.size());
    for (const platform::Sid& groupSid : groupSids) {
        AccountInfo group;
        group.sid = sidToString(groupSid);
        lookupAccount(groupSid, group.domain, group.name);
        groups.push_back(std::move(group));
    }
    info.groups = std::move(groups);
    return true;
}

bool UserInformation::getInformationFromToken(std::vector<std::uint8_t>& buffer,
                                              platform::Token token, std::uint32_t infoClass) {
    for (;;) {
        std::uint32_t returned = 0;
        const std::uint32_t rc = platform::identity().getTokenInformation(
            token, infoClass, buffer.empty() ? nullptr : buffer.data(),
            static_cast<std::uint32_t>(buffer.size()), returned);
        if (rc == platform::kErrorSuccess) {
            buffer.resize(returned);
            return true;
        }
        if (rc != platform::kErrorInsufficientBuffer) {
            (LogMessage("UserInformation::getInformationFromToken()")
             << L", failed to get information (info = " << infoClass << L"), error = " << rc)
                .log();
            return false;
        }
        buffer.resize(returned);  // the information can grow between calls
    }
}
