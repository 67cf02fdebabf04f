#include "socks/negotiation.h"

#include <algorithm>

#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kMethodSelectionOp[] = "SocksProxyServer::handleSocksMethodSelectionMsg()";
const char kReplyOp[] = "SocksProxyServer::handleSubnegotiationReplyMsg()";
const char kDiagnosticOp[] = "SocksProxyServer::readSocksDiagnosticMsg()";
const char kConnectReplyOp[] = "SocksProxyServer::handleSocksConnectRequestReply()";

constexpr std::uint8_t kNoAcceptableMethod = 0xFF;
constexpr std::uint8_t kCmdConnect = 0x01;
constexpr std::uint8_t kAtypIpv4 = 0x01;
constexpr std::size_t kMethodSelectionLen = 2;
constexpr std::size_t kSubnegotiationReplyLen = 2;
constexpr std::size_t kDiagnosticHeaderLen = 4;
constexpr std::size_t kConnectReplyHeaderLen = 4;
constexpr std::size_t kConnectReplyLen = 10;

enum SubnegotiationStatus : unsigned {
    kAccepted = 0,
    kRejectedWithDiagnostic = 1,
    kAcceptedWithDiagnostic = 2,
};

Verdict incomplete() {
    return Verdict();
}

// A complete reply that ends the connection, with the reason to log.
Verdict closing(const LogMessage& message) {
    Verdict v;
    v.complete = true;
    v.close = true;
    v.error = message.text();
    return v;
}

Verdict proceed(ConnState next, NextMessage send) {
    Verdict v;
    v.complete = true;
    v.next = next;
    v.send = send;
    return v;
}

Verdict readDiagnosticNext(ConnState next) {
    Verdict v = proceed(next, NextMessage::None);
    v.keepBytes = true;
    return v;
}

}  // namespace

std::vector<std::uint8_t> socksGreeting(const NegotiationSettings& settings) {
    return {settings.socksVersion, 1, settings.authMethod};
}

std::vector<std::uint8_t> socksConnectRequest(const NegotiationSettings& settings) {
    return {settings.socksVersion, kCmdConnect, 0, kAtypIpv4, 127, 0, 0, 1, 0x1F, 0x90};
}

Verdict readReply(ConnState state, const std::uint8_t* bytes, std::size_t n,
                  const NegotiationSettings& settings) {
    switch (state) {
        case AwaitingMethodSelection:
            return handleSocksMethodSelectionMsg(bytes, n, settings);
        case AwaitingSubnegotiationReply:
            return handleSubnegotiationReplyMsg(bytes, n, settings);
        case ReadingFailureDiagnostic:
        case ReadingSuccessDiagnostic:
            return readSocksDiagnosticMsg(bytes, n, state == ReadingFailureDiagnostic);
        case AwaitingConnectReply:
            return handleSocksConnectRequestReply(bytes, n, settings);
        default:
            return incomplete();  // no reply is awaited: the bytes stay
    }
}

Verdict handleSocksMethodSelectionMsg(const std::uint8_t* bytes, std::size_t n,
                                      const NegotiationSettings& settings) {
    if (n < kMethodSelectionLen)
        return incomplete();
    if (n > kMethodSelectionLen) {
        return closing(LogMessage(kMethodSelectionOp) << L", socks protocol error, recv'd " << n
                                                      << L"bytes from tarnwicket, expected 2");
    }
    const unsigned version = bytes[0];
    if (version != settings.socksVersion) {
        return closing(LogMessage(kMethodSelectionOp)
                       << L", socks version error, tarnwicket returned version " << version);
    }
    if (bytes[1] == kNoAcceptableMethod)
        return closing(LogMessage(kMethodSelectionOp) << L", no acceptable socks method");
    // Any other method is taken as acceptance of ours.
    return proceed(AwaitingSubnegotiationReply, NextMessage::SubnegotiationPacket);
}

Verdict handleSubnegotiationReplyMsg(const std::uint8_t* bytes, std::size_t n,
                                     const NegotiationSettings& settings) {
    if (n < kSubnegotiationReplyLen)
        return incomplete();
    const unsigned version = bytes[0];
    if (version != settings.subnegotiationVersion) {
        return closing(LogMessage(kReplyOp)
                       << L", auth method version error, tarnwicket returned version " << version);
    }
    const unsigned status = bytes[1];
    switch (status) {
        case kAccepted:
            return proceed(AwaitingConnectReply, NextMessage::ConnectRequest);
        case kRejectedWithDiagnostic: {
            Verdict v = readDiagnosticNext(ReadingFailureDiagnostic);
            v.error = (LogMessage(kReplyOp) << L", socks authentication failed").text();
            v.identityRefused = true;
            return v;
        }
        case kAcceptedWithDiagnostic:
            return readDiagnosticNext(ReadingSuccessDiagnostic);
        default:
            return closing(LogMessage(kReplyOp)
                           << L", auth method unknown status received, value = " << status);
    }
}

Verdict readSocksDiagnosticMsg(const std::uint8_t* bytes, std::size_t n, bool failure) {
    if (n < kDiagnosticHeaderLen)
        return incomplete();
    const std::size_t textLen = (std::size_t{bytes[2]} << 8) | bytes[3];
    if (n < kDiagnosticHeaderLen + textLen)
        return incomplete();
    // The text ends at its first zero byte, if it has one; bytes after the
    // text are dropped.
    const char* first = reinterpret_cast<const char*>(bytes) + kDiagnosticHeaderLen;
    const std::wstring text =
        utf8ToWide(std::string(first, std::find(first, first + textLen, '\0')));
    if (failure) {
        return closing(LogMessage(kDiagnosticOp)
                       << L", socks authentication failure, diagnostic error message = " << text);
    }
    Verdict v = proceed(AwaitingConnectReply, NextMessage::ConnectRequest);
    v.error = (LogMessage(kDiagnosticOp)
               << L", socks authentication success, diagnostic message = " << text)
                  .text();
    return v;
}

Verdict handleSocksConnectRequestReply(const std::uint8_t* bytes, std::size_t n,
                                       const NegotiationSettings& settings) {
    if (n < kConnectReplyHeaderLen)
        return incomplete();
    const unsigned version = bytes[0];
    if (version != settings.socksVersion) {
        return closing(LogMessage(kConnectReplyOp)
                       << L", socks version error, tarnwicket returned version " << version);
    }
    const unsigned reserved = bytes[2];
    if (reserved != 0)
        return closing(LogMessage(kConnectReplyOp) << L", socks error, RSV = " << reserved);
    const unsigned addressType = bytes[3];
    if (addressType != kAtypIpv4) {
        return closing(LogMessage(kConnectReplyOp)
                       << L", socks error, ATYP = " << addressType << L", expected 0x01 (ipv4)");
    }
    if (n != kConnectReplyLen)
        return incomplete();
    const unsigned reply = bytes[1];
    if (reply != 0) {
        return closing(LogMessage(kConnectReplyOp)
                       << L", socks connection request failed, REP = " << reply);
    }
    return proceed(Relaying, NextMessage::None);
}
