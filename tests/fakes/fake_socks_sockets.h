// A scripted Sockets seam for the gateway client: resolver results, the
// outcome of each connect step, and a gateway whose bytes arrive in chunks
// of a chosen size. Everything sent is recorded per socket.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/sockets.h"

class FakeSocksSockets : public platform::Sockets {
public:
    // Socket handed out by createTcp.
    static constexpr platform::Socket kGatewaySocket = 700;

    // Sockets 700, 701, ... in the order made.
    int createTcp(platform::Socket& out) override;
    int createTcp6(platform::Socket& out) override;
    int setNoDelay(platform::Socket s) override;
    int setNonBlocking(platform::Socket s) override;
    int connect(platform::Socket s, const platform::SockAddr& addr) override;
    int getSocketError(platform::Socket s, int& pending) override;
    int send(platform::Socket s, const std::uint8_t* data, int len, int& sent) override;
    int recv(platform::Socket s, std::uint8_t* data, int len, int& received) override;
    int shutdownSend(platform::Socket s) override;
    int close(platform::Socket s) override;
    int getAddrInfo(const std::string& node, std::vector<platform::AddrInfo>& out) override;

    // Scripted results (0 = success).
    int m_createResult = 0;
    int m_noDelayResult = 0;
    int m_nonBlockingResult = 0;
    int m_connectResult = 0;
    int m_socketErrorResult = 0;
    int m_pendingError = 0;
    // send: fails with m_sendResult when non-zero, else takes at most
    // m_sendLimit bytes per call (negative: no limit).
    int m_sendResult = 0;
    int m_sendLimit = -1;
    int m_addrInfoResult = 0;
    std::vector<platform::AddrInfo> m_addrInfo;

    // Queues bytes that recv on s returns, at most chunk bytes per call.
    // An empty queue reports would-block.
    void queueIncoming(platform::Socket s, const std::vector<std::uint8_t>& bytes);
    void setRecvChunk(int chunk) { m_recvChunk = chunk; }

    std::vector<std::uint8_t> sentTo(platform::Socket s) const;
    std::size_t sentSize(platform::Socket s) const;
    std::vector<platform::Socket> closed() const;
    int addrInfoCalls() const { return m_addrInfoCalls; }
    std::string lastNode() const { return m_lastNode; }
    platform::SockAddr lastConnectAddr() const { return m_lastConnectAddr; }
    int connectCalls() const { return m_connectCalls; }

    static platform::AddrInfo v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    // 2001:db8::<last>.
    static platform::AddrInfo v6(std::uint8_t last = 1);
    static platform::AddrInfo other();
    static platform::SockAddr withPort(const platform::AddrInfo& info, std::uint16_t port);

    // The result of connect to one address (others: m_connectResult), and
    // the pending error that SO_ERROR reports for one socket (others:
    // m_pendingError).
    void setConnectResult(const platform::SockAddr& addr, int result);
    void setPendingError(platform::Socket s, int error);
    // Every address connected to, in order.
    std::vector<platform::SockAddr> connectAddrs() const;

private:
    mutable std::mutex m_mutex;
    std::map<platform::Socket, std::vector<std::uint8_t>> m_sent;
    std::map<platform::Socket, std::deque<std::uint8_t>> m_incoming;
    std::vector<platform::Socket> m_closed;
    int m_recvChunk = 65792;
    int m_addrInfoCalls = 0;
    std::string m_lastNode;
    platform::SockAddr m_lastConnectAddr;
    int m_connectCalls = 0;
    platform::Socket m_created = 0;
    std::vector<std::pair<platform::SockAddr, int>> m_connectResults;
    std::map<platform::Socket, int> m_pendingErrors;
    std::vector<platform::SockAddr> m_connectAddrs;
};
