// The states of one browser connection and its gateway connection. States
// 3 to 8 are the SOCKS negotiation with the gateway; the values matter, as
// the loop tests ranges of them.
#pragma once

#include <cstdint>

enum ConnState : std::int32_t {
    WaitingForUserInfo = 0,
    ConnectingToTarnwicket = 1,
    ConnectedToTarnwicket = 2,
    AwaitingMethodSelection = 3,
    AwaitingSubnegotiationReply = 4,
    Authenticated = 5,
    ReadingFailureDiagnostic = 6,
    ReadingSuccessDiagnostic = 7,
    AwaitingConnectReply = 8,
    Relaying = 9,
    SendingErrorPage = 10,
};

inline bool negotiating(ConnState state) {
    return state >= AwaitingMethodSelection && state <= AwaitingConnectReply;
}
