// Opening the non-blocking connection to the gateway (on the loop thread).
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kConnectOp[] = "SocksProxyServer::connectToTarnwicket()";

}  // namespace

void SocksProxyServer::connectToTarnwicket(ConnPair& cp) {
    platform::Sockets& sockets = platform::sockets();

    platform::Socket sock = platform::kInvalidSocket;
    int rc = sockets.createTcp(sock);
    if (rc != 0) {
        (
            LogMessage(kConnectOp)
            << L", failed to create socket for connecting to tarnwicket, WSAGetLastError() = "
            << rc)
            .log();
        sendErrorPage(cp, InternalServerError,
                      "Could not connect to Tarnwicket " + errorCodeText(rc));
        return;
    }

    rc = sockets.setNoDelay(sock);
    if (rc != 0) {
        // Latency suffers, but the connection still works.
        (
            LogMessage(kConnectOp)
            << L", failed to set tarnwicket socket to TCP_NODELAY, WSAGetLastError() = " << rc)
            .log();
    }

    rc = sockets.setNonBlocking(sock);
    if (rc != 0) {
        (
            LogMessage(kConnectOp)
            << L", failed to set tarnwicket socket to non-blocking, WSAGetLastError() = " << rc)
            .log();
        sockets.close(sock);
        sendErrorPage(cp, InternalServerError, "Could not connect to tarnwicket (internal error)");
        return;
    }

    platform::SockAddrIn addr;
    std::memcpy(&addr, cp.m_tarnwicketAddr.data(), sizeof addr);
    rc = sockets.connect(sock, addr);
    if (rc == 0) {
        cp.m_tarnwicketSock = sock;
        cp.m_state = ConnectedToTarnwicket;
        sendSocksGreeting(cp);
    } else if (rc == platform::kWsaEWouldBlock) {
        cp.m_tarnwicketSock = sock;
        cp.m_state = ConnectingToTarnwicket;
    } else {
        handleConnectError(cp, rc);
        sockets.close(sock);
    }
}

void SocksProxyServer::handleConnectError(ConnPair& cp, int error) {
    std::string text;
    HttpErrorCode status = BadGateway;
    if (error == platform::kWsaETimedOut) {
        text = "Could not connect to Tarnwicket (connection timed out)";
        status = GatewayTimeout;
    } else if (error == platform::kWsaEConnRefused) {
        text = "Could not connect to Tarnwicket (connection refused)";
    } else {
        text = "Could not connect to Tarnwicket " + errorCodeText(error);
    }
    logUtf8Error(text);
    sendErrorPage(cp, status, std::move(text));
}
