// A relay server and one pair over scripted sockets, with the event log
// recorded, for driving the gateway client step by step.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "proxy/socks_proxy_server.h"
#include "socks/gateway_resolution.h"
#include "tests/fakes/fake_socks_sockets.h"
#include "tests/fakes/platform_fixture.h"

using Bytes = std::vector<std::uint8_t>;

// Resolves the server's gateway into the pair, as the pair's lookup does.
inline bool resolveFor(const SocksProxyServer& server, ConnPair& cp) {
    GatewayAddresses resolved;
    const bool ok = resolveTarnwicketAddress(server.parameters().tarnwicketIpAddr,
                                             server.parameters().tarnwicketPort, resolved);
    cp.m_tarnwicketAddrs = resolved.addresses;
    cp.m_errorText = resolved.errorText;
    return ok;
}

class GatewayClientTest : public ::testing::Test {
protected:
    static constexpr platform::Socket kGw = FakeSocksSockets::kGatewaySocket;

    GatewayClientTest() : m_scope(withFakes()) {
        m_server = std::make_unique<SocksProxyServer>(nullptr);
        m_cp = std::make_unique<ConnPair>();
        log().clear();
    }

    FakeEventLog& log() { return m_recording.log(); }
    std::vector<std::string> lines() { return log().narrowTexts(); }
    SocksProxyServer& server() { return *m_server; }
    // A fresh server with these parameters in place of the default one.
    void useGateway(const std::string& name, std::uint16_t port = 1080,
                    const std::wstring& organization = L"") {
        ServerParameters p;
        p.tarnwicketIpAddr = name;
        p.tarnwicketPort = port;
        p.organizationName = organization;
        m_server = std::make_unique<SocksProxyServer>(nullptr, p, L"test");
    }
    ConnPair& cp() { return *m_cp; }
    void freshPair() { m_cp = std::make_unique<ConnPair>(); }

    // A pair whose gateway connection is up, in the given negotiation state.
    void negotiating(ConnState state) {
        cp().m_tarnwicketSock = kGw;
        cp().m_state = state;
    }

    // Appends gateway bytes as a receive would, without calling a handler.
    void arrive(const Bytes& bytes) {
        std::memcpy(cp().m_sb_buf.data() + cp().m_sb_rx_pos, bytes.data(), bytes.size());
        cp().m_sb_rx_pos += static_cast<std::int32_t>(bytes.size());
    }

    // The loop's dispatch after a receive, for the negotiation states.
    void dispatch() { server().handleNegotiationReply(cp()); }

    // Delivers a reply one byte at a time, dispatching after each byte, and
    // checks that nothing happened before its last byte.
    void arriveByteByByte(const Bytes& reply) {
        const ConnState before = cp().m_state;
        const std::size_t sentBefore = m_sockets.sentTo(kGw).size();
        const std::int32_t start = cp().m_sb_rx_pos;
        for (std::size_t i = 0; i < reply.size(); ++i) {
            arrive({reply[i]});
            dispatch();
            if (i + 1 < reply.size()) {
                ASSERT_EQ(cp().m_state, before) << "after byte " << i;
                ASSERT_FALSE(cp().m_closing) << "after byte " << i;
                ASSERT_EQ(m_sockets.sentTo(kGw).size(), sentBefore) << "after byte " << i;
                ASSERT_TRUE(log().texts().empty()) << "after byte " << i;
                ASSERT_EQ(cp().m_sb_rx_pos, start + static_cast<std::int32_t>(i + 1));
            }
        }
    }

    Bytes sent() { return m_sockets.sentTo(kGw); }

    // The error page queued for the browser, as text.
    std::string page() {
        return std::string(cp().m_sb_buf.begin(), cp().m_sb_buf.begin() + cp().m_sb_tx_len);
    }

    static Bytes connectRequest() {
        return {0x05, 0x01, 0x00, 0x01, 0x7F, 0x00, 0x00, 0x01, 0x1F, 0x90};
    }

    RecordingPlatform m_recording{true};
    FakeSocksSockets m_sockets;
    platform::Registry m_noRegistry;  // every value absent: defaults

private:
    platform::Platform withFakes() {
        platform::Platform p = platform::current();
        p.sockets = &m_sockets;
        p.registry = &m_noRegistry;
        return p;
    }

    platform::ScopedPlatform m_scope;
    std::unique_ptr<SocksProxyServer> m_server;
    std::unique_ptr<ConnPair> m_cp;
};
