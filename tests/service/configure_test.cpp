// The installer package's step: given parameters are written, values that
// are there stay, values found before an upgrade come back, defaults fill
// the rest, and the service gets its restart actions.
#include "service/configure.h"
#include "tests/service/service_host_fixture.h"

namespace {

const std::vector<std::wstring> kNames = {L"OrganizationName", L"TarnwicketIpAddr",
                                          L"TarnwicketPort", L"ListenPort", L"SocketTimeout"};

class ConfigureTest : public ServiceHostTest {
protected:
    ConfigureTest() {
        m_process.m_messages[platform::kErrorAccessDenied] = L"Access is denied.\r\n";
    }

    std::string configure(const std::vector<std::wstring>& arguments, bool& ok) {
        ok = configureService(arguments);
        return console();
    }

    std::vector<std::string> values() const {
        std::vector<std::string> out;
        for (const auto& name : kNames)
            out.push_back(m_registry.describeValue(name));
        return out;
    }
};

TEST_F(ConfigureTest, EachValueIsGivenKeptRestoredOrDefaulted) {
    struct Case {
        const char* what;
        std::vector<std::wstring> arguments;
        std::vector<std::string> expected;
    };
    const std::vector<std::string> defaults = {"sz:", "sz:", "sz:1080", "dword:8080", "dword:600"};
    const Case cases[] = {
        {"fresh, nothing given", {}, defaults},
        {"fresh, some given, empty means not given",
         {L"TarnwicketIpAddr=10.0.0.1", L"ListenPort=3128", L"OrganizationName=Example Org",
          L"SocketTimeout="},
         {"sz:Example Org", "sz:10.0.0.1", "sz:1080", "dword:3128", "dword:600"}},
        {"found before an upgrade",
         {L"OrganizationName.previous=##1 Org", L"TarnwicketPort.previous=1081",
          L"ListenPort.previous=#3333", L"SocketTimeout.previous=#-1",
          L"TarnwicketIpAddr.previous=#%gw"},
         {"sz:#1 Org", "sz:", "sz:1081", "dword:3333", "dword:4294967295"}},
        {"given beats found",
         {L"ListenPort=80", L"ListenPort.previous=#3333"},
         {"sz:", "sz:", "sz:1080", "dword:80", "dword:600"}},
    };
    for (const Case& c : cases) {
        FakeRegistry fresh;
        platform::ScopedPlatform scope([&] {
            platform::Platform p = platform::current();
            p.registry = &fresh;
            return p;
        }());
        bool ok = false;
        EXPECT_EQ("Tarnwicket Vorn Client configured.\n", configure(c.arguments, ok)) << c.what;
        EXPECT_TRUE(ok) << c.what;
        std::vector<std::string> got;
        for (const auto& name : kNames)
            got.push_back(fresh.describeValue(name));
        EXPECT_EQ(c.expected, got) << c.what;
        EXPECT_EQ(0u, fresh.openHandleCount()) << c.what;
    }
}

TEST_F(ConfigureTest, ValuesThatAreThereStayUnlessGiven) {
    m_registry.setString(L"OrganizationName", L"Kept Org");
    m_registry.setDword(L"ListenPort", 3333);
    m_registry.setDword(L"TarnwicketPort", 1234);  // the wrong type is still the admin's
    bool ok = false;
    configure({L"OrganizationName=New Org", L"ListenPort.previous=#1"}, ok);
    EXPECT_TRUE(ok);
    EXPECT_EQ(
        (std::vector<std::string>{"sz:New Org", "sz:", "dword:1234", "dword:3333", "dword:600"}),
        values());
    EXPECT_EQ(
        (std::vector<std::wstring>{L"OrganizationName", L"TarnwicketIpAddr", L"SocketTimeout"}),
        m_registry.m_writtenNames);
    EXPECT_EQ(
        std::vector<std::wstring>{L"SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters"},
        m_registry.m_createdPaths);
    EXPECT_EQ((std::vector<std::string>{"openManager access=1", "openService VornClient access=18",
                                        "setFailureActions 101 reset=86400 "
                                        "restart=5000,10000,60000 non-crash=1",
                                        "close 101", "close 100"}),
              m_scm.calls());
}

TEST_F(ConfigureTest, BadArgumentsWriteNothing) {
    const std::pair<std::wstring, std::string> cases[] = {
        {L"ListenPort=80a", "Unable to set ListenPort - not a number: 80a\n"},
        {L"SocketTimeout=4294967296", "Unable to set SocketTimeout - not a number: 4294967296\n"},
        {L"ListenPort=-1", "Unable to set ListenPort - not a number: -1\n"},
        {L"Port=1", "Unable to configure Tarnwicket Vorn Client - unknown argument Port=1\n"},
        {L"ListenPort",
         "Unable to configure Tarnwicket Vorn Client - unknown argument ListenPort\n"},
    };
    for (const auto& c : cases) {
        bool ok = true;
        EXPECT_EQ(c.second, configure({L"OrganizationName=x", c.first}, ok));
        EXPECT_FALSE(ok);
    }
    EXPECT_TRUE(m_registry.m_writtenNames.empty());
    EXPECT_TRUE(m_scm.calls().empty());
}

TEST_F(ConfigureTest, FailuresAreReportedAndTheRestGoesOn) {
    bool ok = true;
    m_registry.m_createError = platform::kErrorAccessDenied;
    m_scm.m_failureActionsResult = platform::kErrorAccessDenied;
    EXPECT_EQ(
        "Unable to open registry key "
        "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\Parameters - Access is denied. "
        "(0x5)\n"
        "ChangeServiceConfig2 failed - Access is denied. (0x5)\n",
        configure({}, ok));
    EXPECT_FALSE(ok);

    m_registry.m_createError = 0;
    m_registry.m_writeError = platform::kErrorAccessDenied;
    m_scm.m_failureActionsResult = 0;
    const std::string output = configure({}, ok);
    EXPECT_FALSE(ok);
    EXPECT_EQ(0u, output.find("Unable to set OrganizationName - Access is denied. (0x5)\n"));
    EXPECT_NE(std::string::npos, output.find("Unable to set SocketTimeout - "));
    EXPECT_EQ(std::string::npos, output.find("configured"));
}

}  // namespace
