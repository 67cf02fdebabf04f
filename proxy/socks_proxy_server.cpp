#include "proxy/socks_proxy_server.h"

#include "config/registry_config.h"
#include "config/server_parameters.h"
#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

// Said only where the system has such a limit.
std::wstring descriptorLimitText(std::uint64_t limit) {
    return limit == 0 ? std::wstring() : L", descriptor limit " + std::to_wstring(limit);
}

}  // namespace

SocksProxyServer::SocksProxyServer(UserInformation* userInformation)
    : m_userInformation(userInformation), m_wakeupBuf(1024) {
    bool missing = false;
    m_parametersSource = platform::registry().describeSource(parametersKeyPath(), missing);
    if (missing) {
        (LogMessage("SocksProxyServer::SocksProxyServer()")
         << L", " << m_parametersSource << L" does not exist, every parameter takes its default")
            .log(kEventTypeWarning);
    }
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
    renewLookupContext();
}

void SocksProxyServer::renewLookupContext() {
    if (m_lookupContext)
        m_lookupContext->detach();
    m_lookupContext = std::make_shared<LookupContext>(m_tarnwicketIpAddr, m_tarnwicketPort,
                                                      m_userInformation, *this);
}

// Sockets and pairs have been released by run().
SocksProxyServer::~SocksProxyServer() {
    m_lookupContext->detach();
}

int SocksProxyServer::run() {
    int result = 0;
    try {
        logEvent(L"service starting", kEventTypeInformation);
        m_startedTicks = platform::clock().nowTicks();
        m_counters = RelayCounters();
        renewLookupContext();
        raiseDescriptorLimit();
        createListeningSocket();
        if (m_listenSock == platform::kInvalidSocket)
            return 1;
        createListeningSocket6();
        logSettingsInEffect();
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

void SocksProxyServer::raiseDescriptorLimit() {
    const std::uint32_t error = platform::process().raiseDescriptorLimit(m_descriptorLimit);
    if (error != 0) {
        (LogMessage("SocksProxyServer::run()")
         << L", failed to raise the descriptor limit, error = " << error)
            .log(kEventTypeWarning);
    }
}

void SocksProxyServer::logSettingsInEffect() {
    // The addresses as bound (read back from the listening sockets), which
    // is what browsers must use.
    std::string listening = addressText(m_listenAddr);
    if (m_listenSock6 != platform::kInvalidSocket)
        listening += " and " + addressText(m_listenAddr6);
    (LogMessage("SocksProxyServer::run()")
     << L", parameters from " << m_parametersSource << L", listening on " << listening
     << L", gateway \"" << utf8ToWide(m_tarnwicketIpAddr) << L"\" port "
     << static_cast<unsigned>(m_tarnwicketPort) << L", organisation \"" << m_organizationName
     << L"\", socket timeout " << static_cast<unsigned long>(m_socketTimeout) << L" seconds"
     << descriptorLimitText(m_descriptorLimit))
        .log(kEventTypeInformation);
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
    platform::closeSocket(m_listenSock6);
    // Lookups that still run finish on their own, without this server.
    m_lookupContext->detach();
    for (auto& cp : m_connPairs)
        cp.reset();
    m_connPairs.clear();
    closeWakeupPair();
}

void SocksProxyServer::pauseLoop(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_pauseCv.wait_for(lock, duration, [this] { return m_stop.load(); });
}
