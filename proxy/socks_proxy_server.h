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
#include "proxy/listener.h"
#include "proxy/select_sets.h"
#include "proxy/user_info_workers.h"
#include "proxy/wakeup_pair.h"
#include "socks/gateway_dialer.h"
#include "socks/gateway_health.h"
#include "socks/negotiation.h"
#include "support/status_snapshot.h"

class StatusPublisher;
struct RelayDirection;

class UserInformation;

constexpr std::size_t kMaxConnPairs = 2047;
// Every waiting connection is accepted in one pass, up to a bound that keeps
// the pass short for the sockets already open.
constexpr int kMaxAcceptsPerPass = 64;
// Both listeners (127.0.0.1 and [::1]) and the wakeup socket.
constexpr std::size_t kServerSockets = 3;
// Every socket the loop can watch fits its sets: none is ever left out.
static_assert(platform::SocketSet::kCapacity >= 2 * kMaxConnPairs + kServerSockets,
              "read set: browser and gateway of every pair, and the server's own");
static_assert(platform::SocketSet::kCapacity >= kMaxConnectAttempts * kMaxConnPairs,
              "write and except sets: every connect attempt of every pair");

class SocksProxyServer {
public:
    // With the parameters in the registry (a missing key is said once).
    explicit SocksProxyServer(UserInformation* userInformation);
    // With the given parameters; source says where they came from in the
    // start-up summary.
    SocksProxyServer(UserInformation* userInformation, const ServerParameters& params,
                     std::wstring source);
    ~SocksProxyServer();
    SocksProxyServer(const SocksProxyServer&) = delete;
    SocksProxyServer& operator=(const SocksProxyServer&) = delete;

    // Listens, then serves until stop(); 0 when stopped, 1 on a failure.
    int run();
    // Any thread: ends run at its next check.
    void stop();
    bool stopRequested() const { return m_stop.load(); }
    // Any thread: makes the loop run a pass now.
    void wakeupSelect() { m_wakeup.wake(); }
    // Where the loop hands its state when asked (the status command); null:
    // nowhere. Set before run, not owned.
    void setStatusPublisher(StatusPublisher* publisher) { m_statusPublisher = publisher; }
    const ServerParameters& parameters() const { return m_params; }

    // The operations of the loop, by the names the log messages use; tests
    // drive them one at a time.
    void selectLoop();
    void createListeningSocket();
    void createWakeupSocketPair() { m_wakeup.create(); }
    void recvFromWakeupSocketPair() { m_wakeup.drain(); }
    // Accepts what waits on the listener; false when accepting has failed
    // for good.
    bool acceptNewConn(platform::Socket listener);

    // Relay data path (proxy/relay_path.cpp).
    void relayFromBrowser(ConnPair& cp);
    void sendToTarnwicket(ConnPair& cp);
    void recvFromTarnwicket(ConnPair& cp);
    void sendToBrowser(ConnPair& cp);
    void handleTarnwicketReadable(ConnPair& cp);

    // Error page (proxy/error_page.cpp).
    void sendErrorPage(ConnPair& cp, HttpErrorCode http_code, std::string message);

    // Gateway connect and SOCKS5 exchange (proxy/gateway_session.cpp; the
    // addresses are resolved by the pair's lookup).
    void connectToTarnwicket(ConnPair& cp);
    // Every attempt has failed and `error` was the last: the page for it.
    void handleConnectError(ConnPair& cp, int error);
    void sendSocksGreeting(ConnPair& cp);
    void sendSubnegotiationPacket(ConnPair& cp);
    void sendSocksConnectRequest(ConnPair& cp);
    // The gateway's replies read so far, to the handler of the pair's state.
    void handleNegotiationReply(ConnPair& cp);

private:
    // Tests drive single steps of the loop and lower the back-off limits.
    friend class SocksProxyServerProbe;

    struct Configuration {
        ServerParameters params;
        std::wstring source;
    };
    static Configuration readConfiguration();
    SocksProxyServer(UserInformation* userInformation, Configuration configuration);

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
    void serveReadableOfPair(ConnPair& cp, platform::Socket sock);
    void serveWritable(ServeCount& count);
    void serveWritableOfPair(ConnPair& cp, platform::Socket sock);
    void serveExceptional(ServeCount& count);

    // One direction of relaying (proxy/relay_direction.h). receive returns
    // the bytes received; again: a read made without a readiness report,
    // which would-block just ends.
    int receive(ConnPair& cp, const RelayDirection& d, bool again);
    void send(ConnPair& cp, const RelayDirection& d);
    // Reads while each read brings much and all of it goes out at once.
    void relay(ConnPair& cp, const RelayDirection& d);
    bool readAgain(const ConnPair& cp, int received, const RelayDirection& d) const;
    // A side ended its sending (ended: its flag); passes the end on
    // towards the other side while relaying, closes the pair otherwise.
    void endOfStream(ConnPair& cp, bool& ended, platform::Socket towards);

    // The lookups' settings, as they are when the relay starts.
    void renewLookupContext();

    // The one place where a pair's state changes, with what entering a
    // state means for its sending flags.
    void enterState(ConnPair& cp, ConnState state);
    // The gateway connection's attempts (proxy/gateway_session.cpp).
    void attemptWritable(ConnPair& cp, platform::Socket sock);
    void attemptFailed(ConnPair& cp, platform::Socket sock, int error);
    void applyDialProgress(ConnPair& cp, GatewayDialer::Progress progress);
    void everyAttemptFailed(ConnPair& cp);
    // Starts the attempts whose stagger delay is up; notes the next such time.
    void advanceConnectAttempts(std::int64_t now);

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

    // run's teardown: every socket and pair the server still holds.
    void releaseAll();
    long waitLimitMicros() const;
    double idleSeconds(const ConnPair& cp, std::int64_t now) const;
    // Waits for the given time or until stop() is called.
    void pauseLoop(std::chrono::milliseconds duration);
    std::chrono::milliseconds nextBackoff(std::chrono::milliseconds current) const;
    bool acceptBackingOff() const;

    // Read once, before anything else.
    const ServerParameters m_params;
    // Where the parameters were read from, as the registry seam names it.
    const std::wstring m_parametersSource;
    UserInformation* m_userInformation;

    // The SOCKS5 exchange's constants and limits, in seconds.
    NegotiationSettings m_negotiation;
    std::uint32_t m_negotiationTimeout = 10;
    // How long an attempt on one gateway address goes unanswered before the
    // next address is tried alongside it, in ticks (RFC 8305's 250 ms).
    std::int64_t m_connectStagger = platform::kTicksPerSecond / 4;
    // Gateway addresses that failed lately, tried after the others for 60 s.
    GatewayHealth m_gatewayHealth{60 * platform::kTicksPerSecond};
    // The soonest stagger delay that ends, in ticks; 0 for none.
    std::int64_t m_nextConnectTimer = 0;

    Listener m_listener;
    WakeupPair m_wakeup;
    SelectSets m_sets;
    std::atomic<bool> m_stop{false};
    // Runs the pairs' lookups.
    UserInfoWorkers m_userInfoWorkers;
    // The settings the lookups need, and their way to wake the loop.
    std::shared_ptr<LookupContext> m_lookupContext;

    StatusPublisher* m_statusPublisher = nullptr;
    // Counts since run started; loop thread only.
    RelayCounters m_counters;
    // When run started, in ticks.
    std::int64_t m_startedTicks = 0;
    // The descriptors the process may hold once raised; 0 when the system
    // has no such limit.
    std::uint64_t m_descriptorLimit = 0;

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

public:
    // The pairs, in the order they were accepted; the loop thread's alone.
    // Declared after the workers, which outlive them.
    std::vector<std::unique_ptr<ConnPair>> m_connPairs;
};
