// One browser connection with its gateway connection, its two relay buffers
// and the state of its SOCKS negotiation.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/types.h"
#include "proxy/relay_buffer.h"
#include "proxy/user_info_lookup.h"
#include "proxy/user_info_workers.h"
#include "socks/conn_state.h"
#include "socks/gateway_dialer.h"
#include "userinfo/account_info.h"

enum HttpErrorCode : std::int32_t {
    InternalServerError = 0,
    BadGateway = 1,
    GatewayTimeout = 2,
};

struct ConnPair {
    ConnPair();
    // Lets a lookup that still runs go and closes both sockets. Only the
    // loop thread destroys pairs.
    ~ConnPair();
    ConnPair(const ConnPair&) = delete;
    ConnPair& operator=(const ConnPair&) = delete;

    ConnState m_state = WaitingForUserInfo;
    bool m_closing = false;
    platform::Socket m_browserSock = platform::kInvalidSocket;
    platform::Socket m_tarnwicketSock = platform::kInvalidSocket;
    platform::SockAddr m_clientAddr;
    // The pair's user-information lookup until the loop has taken its
    // result: the task's place in the pool, and what it finds.
    std::unique_ptr<UserInfoJob> m_userInfoThread;
    std::shared_ptr<UserInfoLookup> m_lookup;
    // The session of the browser socket's owner, once the lookup knows it:
    // pairs are shared out among owners at the pair limit.
    bool m_sessionKnown = false;
    std::uint32_t m_sessionId = 0;
    UserInfo m_userInfo;
    bool m_userInfoFailed = true;
    // The gateway's addresses, in the order to try them.
    std::vector<platform::SockAddr> m_tarnwicketAddrs;
    std::string m_errorText;
    // While connecting: the attempts on those addresses.
    GatewayDialer m_dialer;

    RelayBuffer m_bs_buf;
    bool m_sendingToTarnwicket = true;
    std::int32_t m_bs_tx_pos = 0;
    std::int32_t m_bs_tx_len = 0;
    std::int32_t m_bs_rx_pos = 0;

    RelayBuffer m_sb_buf;
    bool m_sendingToBrowser = false;
    std::int32_t m_sb_tx_pos = 0;
    std::int32_t m_sb_tx_len = 0;
    std::int32_t m_sb_rx_pos = 0;

    std::int64_t m_lastActivity = 0;

    // Bytes relayed each way (not the SOCKS messages, not an error page),
    // for the status command.
    std::uint64_t m_bytesToTarnwicket = 0;
    std::uint64_t m_bytesToBrowser = 0;

    // While relaying, each side may end its sending on its own: what it sent
    // before is delivered, then the relay ends its sending towards the
    // other side and goes on relaying the other direction.
    bool m_browserEnded = false;
    bool m_tarnwicketEnded = false;
    // A guard message is logged once per pair, not on every pass.
    bool m_guardLogged = false;
};

// Gateway reply bytes received so far, never more than the buffer holds.
std::size_t receivedBytes(const ConnPair& cp);
