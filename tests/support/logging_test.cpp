#include "support/logging.h"

#include <gtest/gtest.h>

#include <ios>
#include <stdexcept>

#include "platform/platform.h"
#include "tests/fakes/platform_fixture.h"

namespace vc_logging_test {
struct CustomError : std::runtime_error {
    CustomError() : std::runtime_error("custom failure") {}
};
}  // namespace vc_logging_test

namespace {

// Restores the process-wide flag whatever the test does.
class DebugModeGuard {
public:
    explicit DebugModeGuard(bool on) : m_saved(debugMode()) { setDebugMode(on); }
    ~DebugModeGuard() { setDebugMode(m_saved); }

private:
    bool m_saved;
};

class LoggingTest : public ::testing::Test {
protected:
    FakeEventLog& log() { return m_recording.log(); }
    std::string onlyText() {
        EXPECT_EQ(log().events().size(), 1u);
        return log().events().empty() ? std::string() : log().narrowTexts()[0];
    }
    RecordingPlatform m_recording;
    DebugModeGuard m_debugOff{false};
};

TEST_F(LoggingTest, EventGoesOutVerbatimUnderTheServiceSource) {
    logEvent(L"100% done, %1 %s %n", kEventTypeWarning);
    ASSERT_EQ(log().events().size(), 1u);
    const RecordedEvent e = log().events()[0];
    EXPECT_EQ(e.source, L"VornClient");
    EXPECT_EQ(e.type, 2);
    EXPECT_EQ(e.text, L"100% done, %1 %s %n");
}

TEST_F(LoggingTest, DebugModeDiscardsEveryMessage) {
    DebugModeGuard debug(true);
    logEvent(L"dropped", kEventTypeError);
    (LogMessage("Op()") << L", also dropped").log();
    logUtf8Error("dropped too");
    EXPECT_TRUE(log().events().empty());
}

TEST_F(LoggingTest, Utf8ErrorIsConvertedAndLoggedAsError) {
    logUtf8Error("gateway \xC3\xA9 unreachable");
    ASSERT_EQ(log().events().size(), 1u);
    EXPECT_EQ(log().events()[0].type, kEventTypeError);
    EXPECT_EQ(log().events()[0].text, std::wstring(L"gateway ") + wchar_t(0xE9) + L" unreachable");
}

class FailingText : public platform::Text {};  // every call fails

TEST_F(LoggingTest, Utf8ErrorConvertsFirstSoItThrowsEvenInDebugMode) {
    FailingText text;
    platform::Platform p = platform::current();
    p.text = &text;
    platform::ScopedPlatform scope(p);
    DebugModeGuard debug(true);
    EXPECT_THROW(logUtf8Error("x"), std::logic_error);
}

class ThrowingEventLog : public platform::EventLog {
public:
    void report(const std::wstring&, std::uint16_t, const std::wstring&) override {
        throw std::runtime_error("sink broken");
    }
};

TEST_F(LoggingTest, AFailingSinkIsSilent) {
    ThrowingEventLog sink;
    platform::Platform p = platform::current();
    p.eventLog = &sink;
    platform::ScopedPlatform scope(p);
    EXPECT_NO_THROW(logEvent(L"lost", kEventTypeError));
}

TEST_F(LoggingTest, MessagePiecesAndNumbersJoinWithNothingBetween) {
    (LogMessage("SocksProxyServer::acceptNewConn()")
     << L", accept() returned error, WSAGetLastError() = " << 10024)
        .log();
    EXPECT_EQ(onlyText(),
              "SocksProxyServer::acceptNewConn(), accept() returned error, WSAGetLastError() = "
              "10024");
}

TEST_F(LoggingTest, SignedValuesCarryASignAndUnsignedNeverDo) {
    LogMessage m("Op()");
    m << L", a = " << -10054 << L", b = " << 4294967295u << L", c = " << std::uint16_t(65535)
      << L", d = " << static_cast<long>(-2) << L", e = " << std::size_t(1234567) << L", f = "
      << std::int64_t(-9000000000) << L", g = " << std::uint8_t(7) << L", h = " << L'x';
    EXPECT_EQ(m.text(),
              L"Op(), a = -10054, b = 4294967295, c = 65535, d = -2, e = 1234567, "
              L"f = -9000000000, g = 7, h = x");
}

TEST_F(LoggingTest, NarrowPiecesAreWidenedByteByByte) {
    LogMessage m("Op()");
    m << std::string(", \xC3\xA9");
    EXPECT_EQ(m.text(),
              (std::wstring{L'O', L'p', L'(', L')', L',', L' ', wchar_t(0xC3), wchar_t(0xA9)}));
    EXPECT_EQ(widenBytes("\xFF"), std::wstring(1, wchar_t(0xFF)));
}

TEST_F(LoggingTest, StandardExceptionsAreLoggedWithMessageAndClassName) {
    try {
        throw std::invalid_argument("invalid stoi argument");
    } catch (...) {
        logCurrentException("ServiceStart()");
    }
    EXPECT_EQ(onlyText(),
              "ServiceStart(), exception, invalid stoi argument, class std::invalid_argument");
    EXPECT_EQ(log().events()[0].type, kEventTypeError);
}

TEST_F(LoggingTest, ClassNamesAreFullyQualified) {
    EXPECT_EQ(exceptionClassName(std::out_of_range("x")), "class std::out_of_range");
    EXPECT_EQ(exceptionClassName(std::logic_error("x")), "class std::logic_error");
    EXPECT_EQ(exceptionClassName(vc_logging_test::CustomError()),
              "class vc_logging_test::CustomError");
    EXPECT_EQ(exceptionClassName(std::ios_base::failure("x")), "class std::ios_base::failure");
    // The dynamic type counts, not the static one.
    const std::exception& base = std::length_error("x");
    EXPECT_EQ(exceptionClassName(base), "class std::length_error");
}

TEST_F(LoggingTest, OtherExceptionsAreUnknown) {
    try {
        throw 42;
    } catch (...) {
        logCurrentException("SocksProxyServer::run()");
    }
    EXPECT_EQ(onlyText(), "SocksProxyServer::run(), unknown exception");
}

TEST_F(LoggingTest, OutsideAHandlerNothingIsRethrown) {
    logCurrentException("Op()");
    EXPECT_EQ(onlyText(), "Op(), unknown exception");
}

}  // namespace
