#include "platform/posix/posix_identity.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/login_sessions.h"
#include "platform/posix/machine_sid.h"
#include "platform/posix/nss_accounts.h"
#include "platform/posix/token_info.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace {

std::uint32_t lookupError(int err, std::uint32_t notFound) {
    return err == ENOENT ? notFound : win32ErrorFromErrno(err);
}

std::wstring toWide(const std::string& utf8) {
    return utf8ToUtf16(utf8.data(), utf8.size());
}

}  // namespace

std::uint32_t PosixIdentity::ownerSessionId(SocketOwner uid, std::int64_t, std::uint32_t& session) {
    // The uid the kernel recorded when the socket was made is the session:
    // no process needs to be found, so none can be swapped in meanwhile.
    session = uid;
    return kErrorSuccess;
}

std::uint32_t PosixIdentity::enumerateSessions(std::vector<SessionEntry>& out) {
    out.clear();
    for (std::uint32_t uid : posix::loginSessionUids())
        out.push_back(SessionEntry{uid, kWtsActive});
    return kErrorSuccess;
}

std::uint32_t PosixIdentity::queryUserToken(std::uint32_t session, Token& out) {
    out = kInvalidToken;
    std::string userName;
    std::uint32_t primaryGid = 0;
    if (const int err = posix::lookupUser(session, userName, primaryGid))
        return lookupError(err, kErrorNoToken);
    auto data = std::make_shared<TokenData>();
    const posix::MachineDomain& domain = posix::machineDomain();
    if (!posix::accountSid(domain, posix::AccountKind::User, session, data->user))
        return kErrorNoneMapped;
    for (std::uint32_t gid : posix::groupsOfUser(userName, primaryGid)) {
        // A gid too large for a RID cannot be named by a SID: left out.
        Sid sid;
        if (posix::accountSid(domain, posix::AccountKind::Group, gid, sid))
            data->groups.push_back(std::move(sid));
    }
    out = addToken(std::move(data));
    return kErrorSuccess;
}

std::uint32_t PosixIdentity::duplicateToken(Token token, Token& out) {
    out = kInvalidToken;
    std::shared_ptr<const TokenData> data = findToken(token);
    if (!data)
        return kErrorInvalidHandle;
    out = addToken(std::move(data));
    return kErrorSuccess;
}

void PosixIdentity::closeToken(Token token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tokens.erase(token);
}

std::uint32_t PosixIdentity::getTokenInformation(Token token, std::uint32_t infoClass,
                                                 std::uint8_t* buffer, std::uint32_t size,
                                                 std::uint32_t& returned) {
    returned = 0;
    std::shared_ptr<const TokenData> data = findToken(token);
    if (!data)
        return kErrorInvalidHandle;
    std::vector<std::uint8_t> bytes;
    if (infoClass == kTokenUser)
        bytes = posix::serialiseTokenSids(infoClass, {data->user});
    else if (infoClass == kTokenGroups)
        bytes = posix::serialiseTokenSids(infoClass, data->groups);
    else
        return kErrorInvalidParameter;
    returned = static_cast<std::uint32_t>(bytes.size());
    if (buffer == nullptr || size < bytes.size())
        return kErrorInsufficientBuffer;
    std::memcpy(buffer, bytes.data(), bytes.size());
    return kErrorSuccess;
}

bool PosixIdentity::tokenUserSid(const std::vector<std::uint8_t>& info, Sid& out) {
    std::vector<Sid> sids;
    if (!posix::parseTokenSids(info, kTokenUser, sids) || sids.size() != 1)
        return false;
    out = std::move(sids.front());
    return true;
}

bool PosixIdentity::tokenGroupSids(const std::vector<std::uint8_t>& info, std::vector<Sid>& out) {
    return posix::parseTokenSids(info, kTokenGroups, out);
}

std::uint32_t PosixIdentity::lookupAccountSid(const Sid& sid, std::uint32_t capacity,
                                              std::wstring& name, std::wstring& domain) {
    name.clear();
    domain.clear();
    posix::AccountKind kind = posix::AccountKind::User;
    std::uint32_t id = 0;
    if (!posix::accountFromSid(posix::machineDomain(), sid, kind, id))
        return kErrorNoneMapped;
    std::string nssName;
    std::uint32_t primaryGid = 0;
    const int err = kind == posix::AccountKind::User ? posix::lookupUser(id, nssName, primaryGid)
                                                     : posix::lookupGroup(id, nssName);
    if (err != 0)
        return lookupError(err, kErrorNoneMapped);
    const posix::AccountName account = posix::splitAccountName(nssName, posix::localDomainName());
    std::wstring wideName = toWide(account.name);
    std::wstring wideDomain = toWide(account.domain);
    // Room for the terminating NUL as well, as the Windows buffers need it.
    if (wideName.size() >= capacity || wideDomain.size() >= capacity)
        return kErrorInsufficientBuffer;
    name = std::move(wideName);
    domain = std::move(wideDomain);
    return kErrorSuccess;
}

bool PosixIdentity::sidToString(const Sid& sid, std::wstring& out) {
    std::string text;
    if (!posix::sidText(sid, text))
        return false;
    out.assign(text.begin(), text.end());
    return true;
}

Token PosixIdentity::addToken(std::shared_ptr<const TokenData> data) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Token token = m_nextToken++;
    m_tokens.emplace(token, std::move(data));
    return token;
}

std::shared_ptr<const PosixIdentity::TokenData> PosixIdentity::findToken(Token token) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_tokens.find(token);
    return it == m_tokens.end() ? nullptr : it->second;
}

Identity& nativeIdentity() {
    static PosixIdentity g_instance;
    return g_instance;
}

}  // namespace platform
