#include "proxy/listener.h"

#include "platform/errors.h"
#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

void logFailure(const wchar_t* what, int error) {
    (LogMessage() << what << L", WSAGetLastError() = " << error).log();
}

// The errors that say this machine has no IPv6 to listen on.
bool noIpv6(int error) {
    return error == platform::kWsaEAfNoSupport || error == platform::kWsaEAddrNotAvail ||
           error == platform::kWsaEProtoNoSupport;
}

}  // namespace

bool Listener::createListeningSocket(std::uint16_t port) {
    auto& sockets = platform::sockets();
    platform::UniqueSocket sock;
    int error = sockets.createTcp(*sock.out());
    if (error != 0) {
        logFailure(L"failed to create listening sock", error);
        return false;
    }
    error = sockets.setReuseAddr(sock.get());
    if (error != 0)
        logFailure(L"failed to set listening socket to SO_REUSEADDR", error);
    m_addr = platform::SockAddr();
    m_addr.family = platform::kAfInet;
    m_addr.addr = platform::loopbackAddr();
    m_addr.port = platform::hostToNet16(port);
    error = sockets.bind(sock.get(), m_addr);
    if (error != 0) {
        logFailure(L"failed to bind listening sock", error);
        return false;
    }
    error = sockets.listen(sock.get(), kListenBacklog);
    if (error != 0) {
        logFailure(L"failed to listen on the listening sock", error);
        return false;
    }
    platform::SockAddr bound;
    if (sockets.getSockName(sock.get(), bound) == 0)
        m_addr = bound;
    error = sockets.setNonBlocking(sock.get());
    m_nonBlocking = error == 0;
    if (error != 0)
        logFailure(L"failed to set listening socket to non-blocking", error);
    m_sock = sock.release();
    return true;
}

void Listener::createListeningSocket6() {
    // Browsers and tools that resolve "localhost" to ::1 first find the
    // relay there too. Only IPv6 connections come here: IPv4 stays with the
    // IPv4 listener, as it always has.
    auto& sockets = platform::sockets();
    m_addr6 = platform::SockAddr();
    m_addr6.family = platform::kAfInet6;
    m_addr6.addr6 = platform::loopbackAddr6();
    m_addr6.port = m_addr.port;
    platform::UniqueSocket sock;
    int error = sockets.createTcp6(*sock.out());
    if (error == 0)
        error = sockets.setV6Only(sock.get());
    if (error == 0)
        error = sockets.bind(sock.get(), m_addr6);
    if (error == 0)
        error = sockets.listen(sock.get(), kListenBacklog);
    if (error == 0)
        error = sockets.setNonBlocking(sock.get());
    if (error == 0) {
        m_sock6 = sock.release();
        return;
    }
    sock.reset();
    if (noIpv6(error)) {
        (LogMessage() << L"no IPv6 on this machine (WSAGetLastError() = " << error
                      << L"), listening on 127.0.0.1 only")
            .log(kEventTypeInformation);
    } else {
        (LogMessage() << L"failed to listen on [::1], WSAGetLastError() = " << error
                      << L", listening on 127.0.0.1 only")
            .log();
    }
}

void Listener::close() {
    platform::closeSocket(m_sock);
    platform::closeSocket(m_sock6);
}

std::vector<std::string> Listener::addresses() const {
    std::vector<std::string> result{addressText(m_addr)};
    if (m_sock6 != platform::kInvalidSocket)
        result.push_back(addressText(m_addr6));
    return result;
}
