// `vornclient -status`: the state of a running relay, exit 0; no relay, or
// one that stopped renewing its state, exit 3; a state that cannot be read,
// exit 4.
#include <string>
#include <vector>

#include "service/status_command.h"
#include "support/status_snapshot.h"
#include "tests/service/service_host_fixture.h"

namespace {

constexpr std::int64_t kSecond = platform::kTicksPerSecond;

class StatusCommandTest : public ServiceHostTest {
protected:
    StatusCommandTest() {
        m_process.m_messages[platform::kErrorAccessDenied] = L"Access is denied.\r\n";
    }

    int runStatus(const char* arg, std::string& printed) {
        const int code = runEntry({arg});
        printed = console();
        return code;
    }

    void writeState(std::int64_t age) {
        RelayStatus s;
        s.taken = platform::clock().nowTicks() - age;
        s.intervalMillis = 2000;
        s.version = "1.0.0";
        s.listening = {"127.0.0.1:8080"};
        s.users = {{L"WS1\\alice", 2, 80, 412}};
        m_files.writeFile("status.txt", formatSnapshot(s));
    }
};

}  // namespace

TEST_F(StatusCommandTest, ARunningRelaysStateIsPrintedWithExitCode0InEveryWriting) {
    writeState(0);
    for (const char* arg : {"-status", "/status", "-STATUS", "/Status"}) {
        std::string printed;
        EXPECT_EQ(kStatusRunning, runStatus(arg, printed)) << arg;
        EXPECT_EQ(0u, printed.rfind("Tarnwicket Vorn Client is running.\nVersion:     1.0.0\n", 0))
            << printed;
        EXPECT_NE(std::string::npos,
                  printed.find("  WS1\\alice: 2 connections, 80 bytes to the gateway, 412 bytes "
                               "to the browser\n"))
            << printed;
    }
    EXPECT_EQ(0, m_scm.m_dispatcherCalls);
    EXPECT_TRUE(m_log.events().empty());
}

TEST_F(StatusCommandTest, NoStateOrAStaleOneMeansNoRelayRuns) {
    std::string printed;
    EXPECT_EQ(kStatusNotRunning, runStatus("-status", printed));
    EXPECT_EQ("Tarnwicket Vorn Client is not running.\n", printed);

    writeState(9 * kSecond);  // still within five intervals
    EXPECT_EQ(kStatusRunning, runStatus("-status", printed));
    writeState(10 * kSecond);
    EXPECT_EQ(kStatusNotRunning, runStatus("-status", printed));
    EXPECT_EQ("Tarnwicket Vorn Client is not running.\n", printed);
}

TEST_F(StatusCommandTest, AStateThatCannotBeReadGivesExitCode4) {
    writeState(0);
    m_files.m_readWholeResult = platform::kErrorAccessDenied;
    std::string printed;
    EXPECT_EQ(kStatusUnknown, runStatus("-status", printed));
    EXPECT_EQ(
        "Unable to read the state of Tarnwicket Vorn Client - Access is denied. (0x5)\n"
        "Only administrators may read it.\n",
        printed);

    m_files.m_readWholeResult = 0;
    m_files.writeFile("status.txt", "VornClient status 1\ninterval 2000\n");  // cut short
    EXPECT_EQ(kStatusUnknown, runStatus("-status", printed));
    EXPECT_EQ(
        "Unable to read the state of Tarnwicket Vorn Client - status.txt is not a state file\n",
        printed);
}
