// The local relay: listens on 127.0.0.1:ListenPort, attributes each browser
// connection to its user, negotiates SOCKS5 with the gateway on its behalf
// and relays bytes both ways. One thread (the caller of run) owns every
// socket and pair; other threads reach it only through stop(),
// wakeupSelect() and the pairs' done flags.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/server_parameters.h"
#include "platform/clock.h"
#include "platform/socket_set.h"
#include "platform/types.h"
#include "proxy/conn_pair.h"
#include "proxy/user_info_workers.h"
#include "socks/gateway_health.h"
#include "support/status_snapshot.h"

class StatusPublisher;

class UserInformation;

// A socket in one of the loop's select lists, with its pair (null for the
// server's own sockets).
struct SocketEntry {
    platform::Socket sock;
    ConnPair* pair;
};

constexpr std::size_t kMaxConnPairs = 2047;
// Browsers open connections in bursts (a page load opens dozens): the system's
// largest backlog (the value asks for it on both platforms), and every
// waiting connection accepted in one pass, up to a bound that keeps the pass
// short for the sockets already open.
constexpr int kListenBacklog = 0x7FFFFFFF;
constexpr int kMaxAcceptsPerPass = 64;
// Connect attempts one pair keeps in flight at most: enough to get past a
// few silent gateway addresses, few enough for the select sets.
constexpr std::size_t kMaxConnectAttempts = 4;
// Both listeners (127.0.0.1 and [::1]) and the wakeup socket.
constexpr std::size_t kServerSockets = 3;
// Every socket the loop can watch fits its sets: none is ever left out.
static_assert(platform::SocketSet::kCapacity >= 2 * kMaxConnPairs + kServerSockets,
              "read set: browser and gateway of every pair, and the server's own");
static_assert(platform::SocketSet::kCapacity >= kMaxConnectAttempts * kMaxConnPairs,
              "write and except sets: every connect attempt of every pair");

class SocksProxyServer {
public:
    explicit SocksProxyServer(UserInformation* userInformation);
    ~SocksProxyServer();
    SocksProxyServer(const SocksProxyServer&) = delete;
    SocksProxyServer& operator=(const SocksProxyServer&) = delete;

    int run();
    void stop();

    // Select loop.
    void selectLoop();

    // Listening socket, accepting, wakeup pair.
    void createListeningSocket();
    // [::1]:ListenPort beside it; without IPv6 the relay listens on IPv4 only.
    void createListeningSocket6();
    void createWakeupSocketPair();
    // Accepts what waits on the listener; false when accepting has failed for
    // good.
    bool acceptNewConn(platform::Socket listener);
    void wakeupSelect();
    void recvFromWakeupSocketPair();

    // Relay data path.
    void recvFromBrowser(ConnPair& cp);
    void sendToTarnwicket(ConnPair& cp);
    void recvFromTarnwicket(ConnPair& cp);
    void sendToBrowser(ConnPair& cp);
    void handleTarnwicketReadable(ConnPair& cp);

    // Error page.
    void sendErrorPage(ConnPair& cp, HttpErrorCode http_code, std::string message);

    // Gateway connect (the addresses are resolved by the pair's lookup).
    void connectToTarnwicket(ConnPair& cp);
    // Every attempt has failed and `error` was the last: the page for it.
    void handleConnectError(ConnPair& cp, int error);

    // SOCKS5 messages.
    void sendSocksGreeting(ConnPair& cp);
    void handleSocksMethodSelectionMsg(ConnPair& cp);
    void sendSocksConnectRequest(ConnPair& cp);
    void handleSocksConnectRequestReply(ConnPair& cp);

    // Identity subnegotiation.
    void sendSubnegotiationPacket(ConnPair& cp);
    void handleSubnegotiationReplyMsg(ConnPair& cp);
    void readSocksDiagnosticMsg(ConnPair& cp);

    // Configuration (registry), the parameters' defaults until it is read,
    // and protocol constants.
    std::uint16_t m_listenPort = ServerParameters().listenPort;
    std::string m_tarnwicketIpAddr = ServerParameters().tarnwicketIpAddr;
    std::uint16_t m_tarnwicketPort = ServerParameters().tarnwicketPort;
    std::wstring m_organizationName = ServerParameters().organizationName;
    std::uint32_t m_socketTimeout = ServerParameters().socketTimeout;
    std::uint32_t m_negotiationTimeout = 10;
    std::uint8_t m_socksVersion = 5;
    std::uint8_t m_socksAuthMethod = 0x80;
    std::uint8_t m_subnegotiationVersion = 1;
    // How long an attempt on one gateway address goes unanswered before the
    // next address is tried alongside it, in ticks (RFC 8305's 250 ms).
    std::int64_t m_connectStagger = platform::kTicksPerSecond / 4;
    // Gateway addresses that failed lately, tried after the others for 60 s.
    GatewayHealth m_gatewayHealth{60 * platform::kTicksPerSecond};

    platform::SockAddr m_listenAddr;
    platform::Socket m_listenSock = platform::kInvalidSocket;
    platform::SockAddr m_listenAddr6;
    platform::Socket m_listenSock6 = platform::kInvalidSocket;
    // Without non-blocking mode an accept with nothing waiting would block
    // the loop: then one connection is accepted per pass.
    bool m_listenNonBlocking = false;
    std::atomic<bool> m_stop{false};
    // Runs the pairs' lookups; declared before the pairs, so it outlives them.
    UserInfoWorkers m_userInfoWorkers;
    // The settings the lookups need, and their way to wake the loop.
    std::shared_ptr<LookupContext> m_lookupContext;
    std::vector<std::unique_ptr<ConnPair>> m_connPairs;
    UserInformation* m_userInformation;
    std::array<platform::Socket, 2> m_fds{platform::kInvalidSocket, platform::kInvalidSocket};
    std::vector<std::uint8_t> m_wakeupBuf;
    std::atomic<bool> m_wakeupFailed{false};

    // Where the loop hands its state when asked (the status command); null:
    // nowhere. Set before run, not owned.
    StatusPublisher* m_statusPublisher = nullptr;
    // Counts since run started; loop thread only.
    RelayCounters m_counters;

private:
    // Tests drive single steps of the loop and lower the back-off limits.
    friend class SocksProxyServerProbe;

    // One accept. NothingWaiting (would-block) ends a burst quietly; Fatal:
    // accepting can never succeed again.
    enum class AcceptResult { Accepted, NothingWaiting, Failed, Fatal };
    AcceptResult acceptOne(platform::Socket listener);
    // Makes the pair of an accepted browser socket and starts its lookup.
    void admitBrowser(platform::Socket sock, const platform::SockAddr& clientAddr,
                      const platform::SockAddr& listenAddr);
    // Moves a finished lookup's result into its pair.
    void takeLookupResult(ConnPair& cp);

    // Steps of one loop iteration, in order.
    void admitFinishedLookups();
    void removeClosedPairs();
    void retireFailedWakeupPair();
    void enforcePairLimit();
    void applyIdleLimits();
    void buildSelectLists();
    // The number of ready sockets, 0 when the wait ran out, -1 on failure.
    int waitForReadySockets();
    // False when accepting has failed for good.
    bool serveReadySockets(int ready);
    // The three passes over the ready sockets share one count; an iteration
    // ends as soon as every ready socket has been seen.
    struct ServeCount {
        int ready;
        int served = 0;
        bool done() const { return served >= ready; }
    };
    // False when accepting has failed for good.
    bool serveReadable(ServeCount& count);
    void serveWritable(ServeCount& count);
    void serveExceptional(ServeCount& count);

    // recvFromBrowser and recvFromTarnwicket, returning the bytes received;
    // again: a read made without a readiness report, which would-block
    // just ends. The browser's side as the loop serves it while relaying.
    int receiveFromBrowser(ConnPair& cp, bool again);
    int receiveFromTarnwicket(ConnPair& cp, bool again);
    void relayFromBrowser(ConnPair& cp);
    bool readAgain(const ConnPair& cp, int received, bool fromTarnwicket) const;
    // Hands the reply bytes received so far to the handler of the state.
    void handleNegotiationReply(ConnPair& cp);
    // A side ended its sending (ended: its flag); passes the end on
    // towards the other side while relaying, closes the pair otherwise.
    void endOfStream(ConnPair& cp, bool& ended, platform::Socket towards);

    // The lookups' settings, as they are when the relay starts.
    void renewLookupContext();

    // Connect attempts (socks/gateway_connect.cpp).
    AttemptResult openAttempt(const platform::SockAddr& addr, platform::Socket& sock, int& error);
    // Starts attempts on the next addresses until one is in flight or made.
    void startNextAttempts(ConnPair& cp);
    void connectionMade(ConnPair& cp, platform::Socket sock, platform::SockAddr addr);
    void attemptWritable(ConnPair& cp, platform::Socket sock);
    void attemptFailed(ConnPair& cp, platform::Socket sock, int error);
    void everyAttemptFailed(ConnPair& cp);
    // Starts the attempts whose stagger delay is up; notes the next such time.
    void advanceConnectAttempts(std::int64_t now);
    void advanceAttempts(ConnPair& cp, std::int64_t now);

    // Raises the descriptor limit as far as the system allows (a failure
    // is logged and the relay goes on with what it has).
    void raiseDescriptorLimit();
    // One information message with the parameters in effect and where they
    // came from, once the listening socket is bound.
    void logSettingsInEffect();

    // Counts a page just queued, by its status.
    void countErrorPage(HttpErrorCode http_code);
    // Hands the publisher a snapshot when it wants one (proxy/server_status.cpp).
    void publishStatus();
    RelayStatus takeStatusSnapshot() const;
    // When run started, in ticks.
    std::int64_t m_startedTicks = 0;

    // run's teardown: every socket and pair the server still holds.
    void releaseAll();
    void closeWakeupPair();
    long waitLimitMicros() const;
    double idleSeconds(const ConnPair& cp, std::int64_t now) const;
    // Waits for the given time or until stop() is called.
    void pauseLoop(std::chrono::milliseconds duration);
    std::chrono::milliseconds nextBackoff(std::chrono::milliseconds current) const;
    bool acceptBackingOff() const;

    // The soonest stagger delay that ends, in ticks; 0 for none.
    std::int64_t m_nextConnectTimer = 0;

    // Where the parameters were read from, as the registry seam names it.
    std::wstring m_parametersSource;
    // The descriptors the process may hold once raised; 0 when the system
    // has no such limit.
    std::uint64_t m_descriptorLimit = 0;

    // Wakeup sends and the closing of m_fds[0] exclude each other.
    std::mutex m_wakeupMutex;

    // The select lists and sets, alive while the loop runs.
    std::vector<SocketEntry> m_readList;
    std::vector<SocketEntry> m_writeList;
    std::vector<SocketEntry> m_exceptList;
    std::unique_ptr<platform::SocketSet> m_readSet;
    std::unique_ptr<platform::SocketSet> m_writeSet;
    std::unique_ptr<platform::SocketSet> m_exceptSet;

    // A failing accept or select that fails again at once (out of
    // descriptors, say) must neither spin the loop nor flood the log: each
    // failure pauses that source for a while, doubling up to a limit.
    std::chrono::milliseconds m_backoffMin{50};
    std::chrono::milliseconds m_backoffMax{1000};
    std::chrono::milliseconds m_acceptBackoff{0};
    std::chrono::steady_clock::time_point m_acceptResumeAt{};
    std::chrono::milliseconds m_selectBackoff{0};
    std::mutex m_pauseMutex;
    std::condition_variable m_pauseCv;
};
