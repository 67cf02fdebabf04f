// The relay's state file: what the relay writes is what the status command
// reads back, and what is not a whole state file is refused.
#include "support/status_snapshot.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kSecond = 10000000;
constexpr std::int64_t kTaken = 133590384000000000;  // 2024-05-01 12:00:00 UTC

RelayStatus fullStatus() {
    RelayStatus s;
    s.taken = kTaken;
    s.intervalMillis = 2000;
    s.version = "1.0.0";
    s.started = kTaken - 3600 * kSecond;
    s.listening = {"127.0.0.1:8080", "[::1]:8080"};
    s.gatewayName = "gw.example.net";
    s.gatewayPort = 1080;
    s.gatewayAddresses = {{"192.0.2.7:1080", true, kTaken - 60 * kSecond, ""},
                          {"[2001:db8::7]:1080", false, kTaken - 5 * kSecond,
                           "connection refused \\ twice\nand more"}};
    s.users = {{L"", 1, 0, 0},
               {L"NT AUTHORITY\\SYSTEM", 2, 10, 20},
               {L"WS1\\al ice \u00e9", 3, 300, 4000000000000}};
    s.counters = {12, 10, 1, 2, 3, 4, 5, 6};
    return s;
}

void expectSame(const RelayStatus& a, const RelayStatus& b) {
    EXPECT_EQ(a.taken, b.taken);
    EXPECT_EQ(a.intervalMillis, b.intervalMillis);
    EXPECT_EQ(a.version, b.version);
    EXPECT_EQ(a.started, b.started);
    EXPECT_EQ(a.listening, b.listening);
    EXPECT_EQ(a.gatewayName, b.gatewayName);
    EXPECT_EQ(a.gatewayPort, b.gatewayPort);
    ASSERT_EQ(a.gatewayAddresses.size(), b.gatewayAddresses.size());
    for (std::size_t i = 0; i < a.gatewayAddresses.size(); ++i) {
        EXPECT_EQ(a.gatewayAddresses[i].address, b.gatewayAddresses[i].address);
        EXPECT_EQ(a.gatewayAddresses[i].answering, b.gatewayAddresses[i].answering);
        EXPECT_EQ(a.gatewayAddresses[i].since, b.gatewayAddresses[i].since);
        EXPECT_EQ(a.gatewayAddresses[i].lastError, b.gatewayAddresses[i].lastError);
    }
    ASSERT_EQ(a.users.size(), b.users.size());
    for (std::size_t i = 0; i < a.users.size(); ++i) {
        EXPECT_EQ(a.users[i].user, b.users[i].user);
        EXPECT_EQ(a.users[i].connections, b.users[i].connections);
        EXPECT_EQ(a.users[i].bytesToGateway, b.users[i].bytesToGateway);
        EXPECT_EQ(a.users[i].bytesToBrowser, b.users[i].bytesToBrowser);
    }
    EXPECT_EQ(a.counters.accepted, b.counters.accepted);
    EXPECT_EQ(a.counters.relayed, b.counters.relayed);
    EXPECT_EQ(a.counters.errorPages500, b.counters.errorPages500);
    EXPECT_EQ(a.counters.errorPages502, b.counters.errorPages502);
    EXPECT_EQ(a.counters.errorPages504, b.counters.errorPages504);
    EXPECT_EQ(a.counters.identitiesRefused, b.counters.identitiesRefused);
    EXPECT_EQ(a.counters.ownersNotFound, b.counters.ownersNotFound);
    EXPECT_EQ(a.counters.pairsPruned, b.counters.pairsPruned);
}

}  // namespace

TEST(StatusSnapshotTest, WhatIsWrittenReadsBackTheSame) {
    const RelayStatus written = fullStatus();
    const std::string text = formatSnapshot(written);
    RelayStatus read;
    ASSERT_TRUE(parseSnapshot(text, read)) << text;
    expectSame(written, read);
}

TEST(StatusSnapshotTest, TheFileIsLinesOfItemsWithTextsLastAndEscaped) {
    RelayStatus s;
    s.taken = 5;
    s.intervalMillis = 2000;
    s.version = "1.2.3";
    s.started = 4;
    s.listening = {"127.0.0.1:3129"};
    s.gatewayName = "gw";
    s.gatewayPort = 1080;
    s.gatewayAddresses = {{"127.0.0.1:1080", false, 3, "refused\r\n\\"}};
    s.users = {{L"H\\u", 1, 2, 3}};
    s.counters.accepted = 7;
    EXPECT_EQ(
        "VornClient status 1\ntaken 5\ninterval 2000\nversion 1.2.3\nstarted 4\n"
        "listening 127.0.0.1:3129\ngateway 1080 gw\n"
        "address failing 3 127.0.0.1:1080 refused\\r\\n\\\\\n"
        "user 1 2 3 H\\\\u\n"
        "counter accepted 7\ncounter relayed 0\ncounter error-pages-500 0\n"
        "counter error-pages-502 0\ncounter error-pages-504 0\n"
        "counter identities-refused 0\ncounter owners-not-found 0\ncounter pairs-pruned 0\n"
        "end\n",
        formatSnapshot(s));
}

TEST(StatusSnapshotTest, WhatIsNotAWholeStateFileIsRefused) {
    const std::string good = formatSnapshot(fullStatus());
    const std::string head = "VornClient status 1\ninterval 2000\n";
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"another format", "VornClient status 2\n" + good.substr(good.find('\n') + 1)},
        {"cut short", good.substr(0, good.size() / 2)},
        {"no end", good.substr(0, good.rfind("end"))},
        {"no interval", "VornClient status 1\ntaken 1\nend\n"},
        {"interval 0", "VornClient status 1\ninterval 0\nend\n"},
        {"a number with letters", head + "taken 12x\nend\n"},
        {"a negative count", head + "user -1 0 0 u\nend\n"},
        {"a count too large", head + "counter accepted 18446744073709551616\nend\n"},
        {"an unknown escape", head + "gateway 1080 g\\x\nend\n"},
        {"an escape at the end", head + "version 1\\\nend\n"},
        {"an address state", head + "address maybe 1 127.0.0.1:1 \nend\n"},
    };
    for (const auto& c : cases) {
        RelayStatus read;
        EXPECT_FALSE(parseSnapshot(c.text, read)) << c.what;
    }
}

TEST(StatusSnapshotTest, ItemsOfANewerVersionAreSkipped) {
    RelayStatus read;
    ASSERT_TRUE(
        parseSnapshot("VornClient status 1\ninterval 2000\ncolour blue\ncounter bounces 9\n"
                      "counter accepted 3\nend\ntrailing\n",
                      read));
    EXPECT_EQ(3u, read.counters.accepted);
    EXPECT_EQ(2000u, read.intervalMillis);
}

TEST(StatusSnapshotTest, ASnapshotIsStaleAfterFiveIntervalsWithoutRenewal) {
    RelayStatus s;
    s.taken = kTaken;
    s.intervalMillis = 2000;
    const struct {
        std::int64_t now;
        bool stale;
    } cases[] = {
        {kTaken, false},
        {kTaken - 60 * kSecond, false},  // the clock went back
        {kTaken + 2 * kSecond, false},
        {kTaken + 10 * kSecond - 1, false},
        {kTaken + 10 * kSecond, true},
        {kTaken + 3600 * kSecond, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.stale, snapshotStale(s, c.now)) << (c.now - kTaken) / kSecond << " s";
    s.intervalMillis = 100;
    EXPECT_TRUE(snapshotStale(s, kTaken + kSecond / 2));
}
