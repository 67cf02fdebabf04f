// One connection's user-information lookup, made on a worker thread: the
// owner of the browser's socket and the owner's session, the gateway's
// address, then the user and groups behind the session. The pair and the
// lookup's task share it, so that either may end first: a pair that is
// closed lets its lookup go at once, and what the lookup still finds is
// dropped with it. Nothing here refers to the server.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/types.h"
#include "socks/gateway_resolution.h"
#include "userinfo/account_info.h"

class SocksProxyServer;
class UserInformation;

struct UserInfoLookup {
    // Given before the task starts.
    platform::SockAddr listenAddr;
    platform::SockAddr clientAddr;
    std::int64_t acceptTicks = 0;

    // Written by the task; read by the loop once done is set.
    // No process owns the browser's socket: closed unanswered.
    bool ownerNotFound = false;
    bool sessionKnown = false;
    std::uint32_t session = 0;
    GatewayAddresses gateway;
    UserInfo userInfo;
    bool failed = true;
    std::atomic<bool> done{false};
};

// What the lookups of one server share: its settings, fixed when it was
// made, and a way to wake its loop that does nothing once the server has
// let go of it.
class LookupContext {
public:
    LookupContext(std::string gatewayHost, std::uint16_t gatewayPort,
                  UserInformation* userInformation, SocksProxyServer& server)
        : m_gatewayHost(std::move(gatewayHost)),
          m_gatewayPort(gatewayPort),
          m_userInformation(userInformation),
          m_answersAtOnce(answersWithoutWaiting(m_gatewayHost)),
          m_server(&server) {}

    // The steps of a lookup; sets done last, then wakes the loop.
    void run(UserInfoLookup& lookup);
    // Makes the lookup on the calling (loop) thread when nothing in it can
    // wait: the owner table answers by an exact kernel lookup, the gateway's
    // name is an address, and the user is in the cache. That spares most
    // connections the handing over to a worker and back. False, with the
    // lookup untouched, when it has to go to a worker.
    bool answerAtOnce(UserInfoLookup& lookup);
    // The server's teardown: from now on wake() does nothing.
    void detach();

private:
    void findUser(UserInfoLookup& lookup) const;
    // The owner of the browser's socket and its session; false when there
    // is none to speak for.
    static bool findSession(UserInfoLookup& lookup);
    bool answerFromCache(UserInfoLookup& lookup) const;
    void wake();

    const std::string m_gatewayHost;
    const std::uint16_t m_gatewayPort;
    UserInformation* const m_userInformation;
    static bool answersWithoutWaiting(const std::string& gatewayHost);
    const bool m_answersAtOnce;
    std::mutex m_serverMutex;
    SocksProxyServer* m_server;
};
