// What the relay server needs around it in tests: an owner table that
// attributes every connection, an identity seam that puts every process in
// session 0, an empty registry, and helpers for real loopback sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "tests/fakes/fake_sockets.h"
#include "tests/fakes/platform_fixture.h"

// Answers every IPv4 lookup with one row: the connection the caller asks
// about, owned by m_owner.
class OwnerTcpTable : public platform::TcpTable {
public:
    std::uint32_t getExtendedTcpTable(std::uint16_t family, std::uint8_t* buffer,
                                      std::uint32_t& size,
                                      const platform::TcpOwnerHint* hint) override;
    std::atomic<std::uint32_t> m_owner{4242};
    // Off: the table has no rows at all.
    std::atomic<bool> m_attributes{true};
};

// Every process runs in session 0, whose user is NT AUTHORITY\SYSTEM.
class Session0Identity : public platform::Identity {
public:
    std::uint32_t ownerSessionId(platform::SocketOwner owner, std::int64_t createdBy,
                                 std::uint32_t& session) override;
};

// The native platform with a recording event log, a fake clock, fault
// injection on the real sockets, the two fakes above and a registry with no
// values (so the server keeps its defaults).
class RelayEnv {
public:
    RelayEnv();
    FakeEventLog& log() { return m_recording.log(); }
    FakeClock& clock() { return m_recording.clock(); }
    FakeSockets& sockets() { return m_sockets; }
    OwnerTcpTable& tcpTable() { return m_tcpTable; }

private:
    platform::Platform make();

    RecordingPlatform m_recording{true};
    FakeSockets m_sockets{platform::nativeSockets()};
    OwnerTcpTable m_tcpTable;
    Session0Identity m_identity;
    platform::Registry m_registry;
    platform::ScopedPlatform m_scope;
};

// Loopback test sockets, made and used with the native sockets directly so
// that injected faults never hit the test's own side.
namespace loopback {

// A connected pair; `near` is made non-blocking as the relay's sockets are,
// `far` stays blocking. Both are invalid when something failed.
struct Pair {
    platform::Socket far = platform::kInvalidSocket;
    platform::Socket near = platform::kInvalidSocket;
};
Pair connectedPair();

// A blocking client connection to 127.0.0.1:port.
platform::Socket connectTo(std::uint16_t port);
std::uint16_t localPort(platform::Socket sock);
void close(platform::Socket& sock);

bool sendAll(platform::Socket sock, const std::string& bytes);
bool waitReadable(platform::Socket sock, std::chrono::milliseconds timeout);
// Reads until the peer ends the stream, an error occurs or the timeout
// passes; `ended` says whether the end of the stream was seen.
std::string readToEnd(platform::Socket sock, bool& ended,
                      std::chrono::milliseconds timeout = std::chrono::seconds(20));
// Reads exactly n bytes unless the stream ends, fails or times out first.
std::string readExactly(platform::Socket sock, std::size_t n,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

}  // namespace loopback
