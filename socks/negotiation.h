// The SOCKS5 exchange with the gateway, as a state machine of its own: the
// messages the relay sends, and what each of the gateway's replies means.
// The handlers read the reply bytes received so far and return a verdict;
// they change nothing. Whoever holds the connection applies the verdict:
// drops the reply, logs its message, enters the next state and sends the
// next message.
//
// greeting 05 01 80 -> method selection (AwaitingMethodSelection)
//   -> identity packet -> its reply (AwaitingSubnegotiationReply)
//      status 0 -> CONNECT 127.0.0.1:8080 -> its reply (AwaitingConnectReply)
//      status 1 -> the refusal's text (ReadingFailureDiagnostic) -> closed
//      status 2 -> the acceptance's text (ReadingSuccessDiagnostic) -> CONNECT
//   -> a successful reply: Relaying
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "socks/conn_state.h"

struct NegotiationSettings {
    std::uint8_t socksVersion = 5;
    std::uint8_t authMethod = 0x80;  // the private method that carries the identity
    std::uint8_t subnegotiationVersion = 1;
};

// What the relay sends next.
enum class NextMessage { None, SubnegotiationPacket, ConnectRequest };

struct Verdict {
    // False: the reply is not whole yet; nothing else applies.
    bool complete = false;
    // The connection ends here (the gateway refused or broke the protocol).
    bool close = false;
    // The state to enter, and the message to send on entering it.
    ConnState next = AwaitingMethodSelection;
    NextMessage send = NextMessage::None;
    // The reply's bytes stay: the next state reads on from the same bytes
    // (the status and the text of a diagnostic come as one message).
    bool keepBytes = false;
    // An error message for the event log, when not empty.
    std::wstring error;
    // The gateway refused the identity.
    bool identityRefused = false;
};

std::vector<std::uint8_t> socksGreeting(const NegotiationSettings& settings);
// CONNECT to 127.0.0.1:8080 as the gateway sees it, not the browser's
// target: the browser's proxy requests travel through the tunnel.
std::vector<std::uint8_t> socksConnectRequest(const NegotiationSettings& settings);

// The reply to what was sent in `state` (one of the negotiation's states).
Verdict readReply(ConnState state, const std::uint8_t* bytes, std::size_t n,
                  const NegotiationSettings& settings);

Verdict handleSocksMethodSelectionMsg(const std::uint8_t* bytes, std::size_t n,
                                      const NegotiationSettings& settings);
Verdict handleSubnegotiationReplyMsg(const std::uint8_t* bytes, std::size_t n,
                                     const NegotiationSettings& settings);
// `failure`: the text follows a refusal (status 1), else an acceptance.
Verdict readSocksDiagnosticMsg(const std::uint8_t* bytes, std::size_t n, bool failure);
Verdict handleSocksConnectRequestReply(const std::uint8_t* bytes, std::size_t n,
                                       const NegotiationSettings& settings);
