#include "config/server_parameters.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/platform.h"
#include "tests/fakes/fake_registry.h"
#include "tests/fakes/platform_fixture.h"

namespace {

class ServerParametersTest : public ::testing::Test {
protected:
    ServerParametersTest() : m_scope(withFakeRegistry()) {}

    platform::Platform withFakeRegistry() {
        platform::Platform p = platform::current();
        p.registry = &m_registry;
        return p;
    }

    static void expectDefaults(const ServerParameters& p) {
        EXPECT_EQ(p.listenPort, 8080);
        EXPECT_EQ(p.tarnwicketIpAddr, "");
        EXPECT_EQ(p.tarnwicketPort, 1080);
        EXPECT_EQ(p.organizationName, L"");
        EXPECT_EQ(p.socketTimeout, 600u);
    }

    RecordingPlatform m_recording;
    FakeRegistry m_registry;
    platform::ScopedPlatform m_scope;
};

TEST_F(ServerParametersTest, ReadsAndConvertsAllFiveValues) {
    m_registry.setString(L"OrganizationName", L"Example Org");
    // "gw-" + U+00E9 + ".example": the address is kept as UTF-8.
    m_registry.setString(L"TarnwicketIpAddr", std::wstring(L"gw-") + wchar_t(0xE9) + L".example");
    m_registry.setString(L"TarnwicketPort", L"1081");
    m_registry.setDword(L"ListenPort", 0x00011F90);
    m_registry.setDword(L"SocketTimeout", 0);
    ServerParameters p;
    readServerParameters(p);
    EXPECT_EQ(p.organizationName, L"Example Org");
    EXPECT_EQ(p.tarnwicketIpAddr, "gw-\xC3\xA9.example");
    EXPECT_EQ(p.tarnwicketPort, 1081);
    EXPECT_EQ(p.listenPort, 8080);
    EXPECT_EQ(p.socketTimeout, 0u);
    EXPECT_TRUE(m_recording.log().events().empty());
    EXPECT_EQ(m_registry.m_openedPaths.size(), 5u);
    EXPECT_EQ(m_registry.openHandleCount(), 0u);
}

TEST_F(ServerParametersTest, SocketTimeoutBeyondTheSignedRangeMeansTheLongest) {
    const std::uint32_t cases[][2] = {{0x7FFFFFFE, 0x7FFFFFFE},
                                      {0x7FFFFFFF, 0x7FFFFFFF},
                                      {0x80000000, 0x7FFFFFFF},
                                      {0xFFFFFFFF, 0x7FFFFFFF}};
    for (const auto& c : cases) {
        m_registry.setDword(L"SocketTimeout", c[0]);
        ServerParameters p;
        readServerParameters(p);
        EXPECT_EQ(p.socketTimeout, c[1]) << std::hex << c[0];
    }
}

TEST_F(ServerParametersTest, MissingKeyLogsFiveTimesAndKeepsEveryDefault) {
    m_registry.m_openError = 2;
    ServerParameters p;
    readServerParameters(p);
    expectDefaults(p);
    EXPECT_EQ(m_recording.log().count("regOpenKey(), failed to open registry key "
                                      "HKLM\\SYSTEM\\CurrentControlSet\\Services\\VornClient\\"
                                      "Parameters, error = 2"),
              5u);
    EXPECT_EQ(m_recording.log().events().size(), 5u);
}

TEST_F(ServerParametersTest, EachMissingValueLogsOnceInReadingOrder) {
    ServerParameters p;
    readServerParameters(p);
    expectDefaults(p);
    EXPECT_EQ(m_recording.log().narrowTexts(),
              (std::vector<std::string>{
                  "getConfigWstringValue(), failed to read registry value OrganizationName, "
                  "error = 2",
                  "getConfigWstringValue(), failed to read registry value TarnwicketIpAddr, "
                  "error = 2",
                  "getConfigWstringValue(), failed to read registry value TarnwicketPort, "
                  "error = 2",
                  "getConfigUint32Value(), failed to read registry value ListenPort, error = 2",
                  "getConfigUint32Value(), failed to read registry value SocketTimeout, error = 2",
              }));
}

TEST_F(ServerParametersTest, PortStoredAsNumberIsRejectedAndTheDefaultStays) {
    m_registry.setDword(L"TarnwicketPort", 1081);
    m_registry.setDword(L"ListenPort", 3128);
    m_registry.setDword(L"SocketTimeout", 30);
    ServerParameters p;
    readServerParameters(p);
    EXPECT_EQ(p.tarnwicketPort, 1080);
    EXPECT_EQ(p.listenPort, 3128);
    EXPECT_EQ(p.socketTimeout, 30u);
    EXPECT_TRUE(m_recording.log().contains(
        "getConfigWstringValue(), registry value TarnwicketPort, has the wrong type, expected "
        "REG_SZ, got 4"));
}

TEST_F(ServerParametersTest, EmptyPortTextStopsTheReadWithInvalidArgument) {
    for (bool withNul : {true, false}) {
        m_registry.setString(L"OrganizationName", L"Org");
        m_registry.setString(L"TarnwicketPort", L"", withNul);
        m_registry.setDword(L"ListenPort", 3128);
        ServerParameters p;
        EXPECT_THROW(readServerParameters(p), std::invalid_argument);
        // Values before the port were taken, the ones after it never read.
        EXPECT_EQ(p.organizationName, L"Org");
        EXPECT_EQ(p.listenPort, 8080);
        EXPECT_EQ(m_registry.openHandleCount(), 0u);
    }
}

}  // namespace
