#include "proxy/user_info_lookup.h"

#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "userinfo/socket_owner.h"
#include "userinfo/user_information.h"

void LookupContext::findUser(UserInfoLookup& lookup) const {
    // The owner first, and its session at once: on Windows the process id
    // could otherwise pass to another process while the name resolves.
    platform::SocketOwner owner = 0;
    if (!getClientSocketPID(lookup.listenAddr, lookup.clientAddr, owner)) {
        lookup.ownerNotFound = true;
        return;  // nobody to speak for: closed unanswered
    }
    if (!UserInformation::sessionIdOfOwner(owner, lookup.acceptTicks, lookup.session))
        return;
    lookup.sessionKnown = true;
    if (!resolveTarnwicketAddress(m_gatewayHost, m_gatewayPort, lookup.gateway))
        return;  // the error page tells the browser
    if (m_userInformation != nullptr &&
        m_userInformation->getUserInfoFromSessionId(lookup.session, lookup.userInfo)) {
        lookup.failed = false;
    }
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
