// One direction of a pair's relaying, described once: the socket bytes come
// from, the socket they go to, the buffer between them with its positions,
// and what a failure of either socket means. The relay path's code is
// written for a direction and used for both.
#pragma once

#include <cstdint>

#include "proxy/conn_pair.h"

class SocksProxyServer;

struct RelayDirection {
    platform::Socket ConnPair::*from;
    platform::Socket ConnPair::*to;
    RelayBuffer ConnPair::*buf;
    std::int32_t ConnPair::*rxPos;
    std::int32_t ConnPair::*txPos;
    std::int32_t ConnPair::*txLen;
    // Set while the buffer is being sent; it is not read into meanwhile.
    bool ConnPair::*sending;
    // The sending side has ended its sending.
    bool ConnPair::*fromEnded;
    // Bytes relayed this way while relaying.
    std::uint64_t ConnPair::*relayed;
    // Bytes from the gateway: before relaying they are its replies, kept
    // for the negotiation handlers; after an error page they are dropped.
    bool fromGateway;

    // The operations' names, and the guard texts, as the log gives them.
    const char* recvOp;
    const char* sendOp;
    const wchar_t* recvWhileSending;
    const wchar_t* recvIntoFullBuffer;
    const char* rxPosBeyondBuffer;
    const wchar_t* sendWhileNotSending;
    const wchar_t* sendNothing;

    // What a failed receive or send means for the pair.
    void (*receiveFailed)(SocksProxyServer& server, ConnPair& cp, int error);
    void (*sendFailed)(SocksProxyServer& server, ConnPair& cp, int error);
    // The buffer has gone out whole.
    void (*allSent)(SocksProxyServer& server, ConnPair& cp);
};

// Browser to gateway: the browser's request bytes.
extern const RelayDirection kTowardsTarnwicket;
// Gateway to browser: replies, then the relayed response; or an error page.
extern const RelayDirection kTowardsBrowser;
