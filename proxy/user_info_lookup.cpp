#include "proxy/user_info_lookup.h"

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "userinfo/socket_owner.h"
#include "userinfo/user_information.h"

bool LookupContext::answersWithoutWaiting(const std::string& gatewayHost) {
    return platform::tcpTable().answersExactly() && isAddressLiteral(gatewayHost);
}

bool LookupContext::findSession(UserInfoLookup& lookup) {
    // The owner first, and its session at once: on Windows the process id
    // could otherwise pass to another process while the name resolves.
    platform::SocketOwner owner = 0;
    if (!getClientSocketPID(lookup.listenAddr, lookup.clientAddr, owner)) {
        lookup.ownerNotFound = true;
        return false;  // nobody to speak for: closed unanswered
    }
    if (!UserInformation::sessionIdOfOwner(owner, lookup.acceptTicks, lookup.session))
        return false;
    lookup.sessionKnown = true;
    return true;
}

void LookupContext::findUser(UserInfoLookup& lookup) const {
    if (!findSession(lookup))
        return;
    if (!resolveTarnwicketAddress(m_gatewayHost, m_gatewayPort, lookup.gateway))
        return;  // the error page tells the browser
    if (m_userInformation != nullptr &&
        m_userInformation->getUserInfoFromSessionId(lookup.session, lookup.userInfo)) {
        lookup.failed = false;
    }
}

bool LookupContext::answerFromCache(UserInfoLookup& lookup) const {
    if (!findSession(lookup) ||
        !resolveTarnwicketAddress(m_gatewayHost, m_gatewayPort, lookup.gateway) ||
        m_userInformation == nullptr)
        return true;  // answered: a failure, as the worker would have found it
    if (!m_userInformation->getCachedUserInfoFromSessionId(lookup.session, lookup.userInfo))
        return false;
    lookup.failed = false;
    return true;
}

bool LookupContext::answerAtOnce(UserInfoLookup& lookup) {
    if (!m_answersAtOnce)
        return false;
    try {
        if (!answerFromCache(lookup)) {
            // A user not in the cache is read on a worker, from the start.
            lookup.sessionKnown = false;
            lookup.gateway = GatewayAddresses();
            lookup.userInfo.reset();
            return false;
        }
    } catch (...) {
        logCurrentException("SocksProxyServer::userInfoThreadFun()");
    }
    lookup.done.store(true, std::memory_order_release);
    return true;
}

// userInfoThreadFun: the body of a pair's lookup task.
void LookupContext::run(UserInfoLookup& lookup) {
    try {
        findUser(lookup);
    } catch (...) {
        logCurrentException("SocksProxyServer::userInfoThreadFun()");
    }
    // The last write to the lookup: the loop may read it from now on.
    lookup.done.store(true, std::memory_order_release);
    wake();
}

void LookupContext::wake() {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    if (m_server != nullptr)
        m_server->wakeupSelect();
}

void LookupContext::detach() {
    std::lock_guard<std::mutex> lock(m_serverMutex);
    m_server = nullptr;
}
