// What the status command prints and the service manager's summary line.
#include "support/status_report.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kSecond = 10000000;
constexpr std::int64_t kNoon = 133590384000000000;  // 2024-05-01 12:00:00 UTC

}  // namespace

TEST(StatusReportTest, TicksReadAsUtcDateAndTime) {
    const struct {
        std::int64_t ticks;
        const char* text;
    } cases[] = {
        {0, "1601-01-01 00:00:00 UTC"},
        {116444736000000000, "1970-01-01 00:00:00 UTC"},
        {125911583990000000, "1999-12-31 23:59:59 UTC"},
        {125962560000000000, "2000-02-29 00:00:00 UTC"},
        {kNoon + 9999999, "2024-05-01 12:00:00 UTC"},
        {kNoon + 3723 * kSecond, "2024-05-01 13:02:03 UTC"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, utcTimeText(c.ticks)) << c.ticks;
}

TEST(StatusReportTest, TheSummaryCountsConnectionsUsersAndTheGateway) {
    const struct {
        std::vector<UserConnections> users;
        std::vector<GatewayAddressState> addresses;
        const wchar_t* summary;
    } cases[] = {
        {{}, {}, L"0 connections for 0 users; gateway not tried yet"},
        {{{L"H\\a", 1, 0, 0}},
         {{"a:1", true, 0, ""}},
         L"1 connection for 1 user; gateway answering"},
        {{{L"", 2, 0, 0}, {L"H\\a", 3, 0, 0}, {L"H\\b", 4, 0, 0}},
         {{"a:1", false, 0, "x"}, {"b:1", true, 0, ""}},
         L"9 connections for 2 users; gateway answering"},
        {{{L"", 1, 0, 0}},
         {{"a:1", false, 0, "x"}},
         L"1 connection for 0 users; gateway not answering"},
    };
    for (const auto& c : cases) {
        RelayStatus s;
        s.users = c.users;
        s.gatewayAddresses = c.addresses;
        EXPECT_EQ(c.summary, statusSummary(s));
    }
}

TEST(StatusReportTest, TheReportShowsEveryPartOfTheState) {
    RelayStatus s;
    s.taken = kNoon + 10 * kSecond;
    s.intervalMillis = 2000;
    s.version = "1.0.0";
    s.started = kNoon;
    s.listening = {"127.0.0.1:8080", "[::1]:8080"};
    s.gatewayName = "gw.example.net";
    s.gatewayPort = 1080;
    s.gatewayAddresses = {{"192.0.2.7:1080", true, kNoon + 3 * kSecond, ""},
                          {"[2001:db8::7]:1080", false, kNoon + 4 * kSecond, "connection refused"}};
    s.users = {{L"", 1, 0, 0}, {L"WS1\\alice", 2, 80, 412}};
    s.counters = {12, 10, 1, 2, 3, 4, 5, 6};
    EXPECT_EQ(
        "Tarnwicket Vorn Client is running.\n"
        "Version:     1.0.0\n"
        "Started:     2024-05-01 12:00:00 UTC\n"
        "Listening:   127.0.0.1:8080, [::1]:8080\n"
        "Gateway:     \"gw.example.net\" port 1080\n"
        "  192.0.2.7:1080 answering since 2024-05-01 12:00:03 UTC\n"
        "  [2001:db8::7]:1080 not answering since 2024-05-01 12:00:04 UTC, last error: "
        "connection refused\n"
        "Connections: 3 open for 1 user\n"
        "  (user not known): 1 connection, 0 bytes to the gateway, 0 bytes to the browser\n"
        "  WS1\\alice: 2 connections, 80 bytes to the gateway, 412 bytes to the browser\n"
        "Since start:\n"
        "  accepted: 12\n"
        "  relayed: 10\n"
        "  error pages 500: 1\n"
        "  error pages 502: 2\n"
        "  error pages 504: 3\n"
        "  identities refused by the gateway: 4\n"
        "  owners not found: 5\n"
        "  pairs pruned: 6\n"
        "As of:       2024-05-01 12:00:10 UTC\n",
        statusReport(s));

    s.gatewayAddresses.clear();
    s.users.clear();
    const std::string report = statusReport(s);
    EXPECT_NE(std::string::npos, report.find("port 1080\n  no address tried yet\n"));
    EXPECT_NE(std::string::npos, report.find("Connections: 0 open for 0 users\nSince start:\n"));
}
