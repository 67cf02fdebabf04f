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

SocksProxyServer::Configuration SocksProxyServer::readConfiguration() {
    Configuration c;
    bool missing = false;
    c.source = platform::registry().describeSource(parametersKeyPath(), missing);
    if (missing) {
        (LogMessage("SocksProxyServer::SocksProxyServer()")
         << L", " << c.source << L" does not exist, every parameter takes its default")
            .log(kEventTypeWarning);
    }
    readServerParameters(c.params);
    return c;
}

SocksProxyServer::SocksProxyServer(UserInformation* userInformation)
    : SocksProxyServer(userInformation, readConfiguration()) {}

SocksProxyServer::SocksProxyServer(UserInformation* userInformation, const ServerParameters& params,
                                   std::wstring source)
    : SocksProxyServer(userInformation, Configuration{params, std::move(source)}) {}

SocksProxyServer::SocksProxyServer(UserInformation* userInformation, Configuration configuration)
    : m_params(std::move(configuration.params)),
      m_parametersSource(std::move(configuration.source)),
      m_userInformation(userInformation) {
    renewLookupContext();
}

void SocksProxyServer::renewLookupContext() {
    if (m_lookupContext)
        m_lookupContext->detach();
    m_lookupContext = std::make_shared<LookupContext>(
        m_params.tarnwicketIpAddr, m_params.tarnwicketPort, m_userInformation, *this);
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
        if (m_listener.sock() == platform::kInvalidSocket)
            return 1;
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
    std::string listening;
    for (const std::string& address : m_listener.addresses())
        listening += (listening.empty() ? "" : " and ") + address;
    (LogMessage("SocksProxyServer::run()")
     << L", parameters from " << m_parametersSource << L", listening on " << listening
     << L", gateway \"" << utf8ToWide(m_params.tarnwicketIpAddr) << L"\" port "
     << static_cast<unsigned>(m_params.tarnwicketPort) << L", organisation \""
     << m_params.organizationName << L"\", socket timeout "
     << static_cast<unsigned long>(m_params.socketTimeout) << L" seconds"
     << descriptorLimitText(m_descriptorLimit))
        .log(kEventTypeInformation);
}

void SocksProxyServer::createListeningSocket() {
    if (m_listener.createListeningSocket(m_params.listenPort))
        m_listener.createListeningSocket6();
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
    m_listener.close();
    // Lookups that still run finish on their own, without this server.
    m_lookupContext->detach();
    for (auto& cp : m_connPairs)
        cp.reset();
    m_connPairs.clear();
    m_wakeup.close();
}

void SocksProxyServer::pauseLoop(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(m_pauseMutex);
    m_pauseCv.wait_for(lock, duration, [this] { return m_stop.load(); });
}
