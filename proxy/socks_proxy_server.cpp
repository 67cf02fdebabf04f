#include "proxy/socks_proxy_server.h"

#include "config/server_parameters.h"
#include "platform/platform.h"
#include "support/logging.h"

SocksProxyServer::SocksProxyServer(UserInformation* userInformation)
    : m_userInformation(userInformation), m_wakeupBuf(1024) {
    ServerParameters params;
    params.listenPort = m_listenPort;
    params.tarnwicketIpAddr = m_tarnwicketIpAddr;
    params.tarnwicketPort = m_tarnwicketPort;
    params.organizationName = m_organizationName;
    params.socketTimeout = m_socketTimeout;
    readServerParameters(params);
    m_listenPort = params.listenPort;
    m_tarnwicketIpAddr = params.tarnwicketIpAddr;
    m_tarnwicketPort = params.tarnwicketPort;
    m_organizationName = params.organizationName;
    m_socketTimeout = params.socketTimeout;
}

// Sockets and pairs have been released by run().
SocksProxyServer::~SocksProxyServer() = default;

int SocksProxyServer::run() {
    int result = 0;
    try {
        logEvent(L"service starting", kEventTypeInformation);
        createListeningSocket();
        if (m_listenSock == platform::kInvalidSocket)
            return 1;
        createWakeupSocketPair();
        selectLoop();
    } catch (...) {
        logCurrentException("SocksProxyServer::run()");
        result = 1;
    }
    try {
        releaseAll();
    } catch (...) {
        logCurrentException("SocksProxyServer::run()");
        result = 1;
    }
    return result;
}

void SocksProxyServer::stop() {
    logEvent(L"service stopping", kEventTypeInformation);
    m_stop.exchange(true);
    {
        // Taking the lock orders the flag before a pause that is about to
        // start, so the notification cannot be missed.
        std::lock_guard<std::mutex> lock(m_pauseMutex);
    }
    m_pauseCv.notify_all();
    wakeupSelect();
}

void SocksProxyServer::releaseAll() {
    platform::closeSocket(m_listenSock);
    // Destroyed in order; each joins a worker that is still running.
    for (auto& cp : m_connPairs)
        cp.reset();
    m_connPairs.clear();
    closeWakeupPair();
}

void SocksProxyServer::pauseLoop(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_pauseCv.wait_for(lock, duration, [this] { return m_stop.load(); });
}
