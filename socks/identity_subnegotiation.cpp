// The identity subnegotiation of the private method: send the packet, read
// the gateway's verdict and its optional diagnostic text.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "proxy/socks_proxy_server.h"
#include "socks/subnegotiation_packet.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kSendPacketOp[] = "SocksProxyServer::sendSubnegotiationPacket()";
const char kReplyOp[] = "SocksProxyServer::handleSubnegotiationReplyMsg()";
const char kDiagnosticOp[] = "SocksProxyServer::readSocksDiagnosticMsg()";

enum SubnegotiationStatus : unsigned {
    kAccepted = 0,
    kRejectedWithDiagnostic = 1,
    kAcceptedWithDiagnostic = 2,
};

constexpr std::size_t kDiagnosticHeaderLen = 4;

}  // namespace

void SocksProxyServer::sendSubnegotiationPacket(ConnPair& cp) {
    std::vector<std::uint8_t> packet =
        buildSubnegotiationPacket(m_subnegotiationVersion, m_organizationName, cp.m_userInfo);

    if (cp.m_bs_tx_pos != 0) {
        throw std::logic_error(std::string(kSendPacketOp) + ", cp->m_bs_tx_pos != 0");
    }
    if (cp.m_bs_tx_len != 0) {
        throw std::logic_error(std::string(kSendPacketOp) + ", cp->m_bs_tx_len != 0");
    }
    // Send lengths are 32-bit; a packet beyond that could not be sent whole.
    if (packet.size() > static_cast<std::size_t>(INT32_MAX)) {
        throw std::logic_error(std::string(kSendPacketOp) + ", packet too long");
    }

    const auto len = static_cast<std::int32_t>(packet.size());
    if (packet.size() > cp.m_bs_buf.size()) {
        // The buffer keeps this size for the rest of the pair's life.
        cp.m_bs_buf.assign(packet.begin(), packet.end());
    } else {
        std::memcpy(cp.m_bs_buf.data(), packet.data(), packet.size());
    }
    cp.m_bs_tx_len = len;
    sendToTarnwicket(cp);
    if (cp.m_state != SendingErrorPage)
        cp.m_state = AwaitingSubnegotiationReply;
}

void SocksProxyServer::handleSubnegotiationReplyMsg(ConnPair& cp) {
    if (receivedBytes(cp) < 2)
        return;

    const unsigned version = cp.m_sb_buf[0];
    if (version != m_subnegotiationVersion) {
        (LogMessage(kReplyOp) << L", auth method version error, tarnwicket returned version "
                              << version)
            .log();
        cp.m_closing = true;
        return;
    }

    const unsigned status = cp.m_sb_buf[1];
    switch (status) {
        case kAccepted:
            sendSocksConnectRequest(cp);
            break;
        case kRejectedWithDiagnostic:
            (LogMessage(kReplyOp) << L", socks authentication failed").log();
            m_counters.identitiesRefused++;
            cp.m_state = ReadingFailureDiagnostic;
            // The text may have come in the same segment.
            readSocksDiagnosticMsg(cp);
            break;
        case kAcceptedWithDiagnostic:
            cp.m_state = ReadingSuccessDiagnostic;
            readSocksDiagnosticMsg(cp);
            break;
        default:
            (LogMessage(kReplyOp) << L", auth method unknown status received, value = " << status)
                .log();
            cp.m_closing = true;
            break;
    }
}

void SocksProxyServer::readSocksDiagnosticMsg(ConnPair& cp) {
    const std::size_t n = receivedBytes(cp);
    if (n < kDiagnosticHeaderLen)
        return;
    const std::size_t textLen = (std::size_t{cp.m_sb_buf[2]} << 8) | cp.m_sb_buf[3];
    if (n < kDiagnosticHeaderLen + textLen)
        return;

    // The text ends at its first zero byte, if it has one.
    const char* first = reinterpret_cast<const char*>(cp.m_sb_buf.data()) + kDiagnosticHeaderLen;
    const std::string utf8(first, std::find(first, first + textLen, '\0'));
    // Bytes after the text are dropped.
    cp.m_sb_rx_pos = 0;
    const std::wstring text = utf8ToWide(utf8);

    if (cp.m_state == ReadingFailureDiagnostic) {
        (LogMessage(kDiagnosticOp)
         << L", socks authentication failure, diagnostic error message = " << text)
            .log();
        cp.m_closing = true;
    } else if (cp.m_state == ReadingSuccessDiagnostic) {
        (LogMessage(kDiagnosticOp)
         << L", socks authentication success, diagnostic message = " << text)
            .log();
        sendSocksConnectRequest(cp);
    }
}
