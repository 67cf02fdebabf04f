// The Linux event log's file sink: one JSON object per line.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

class EventLogFileTest : public ::testing::Test {
protected:
    EventLogFileTest() {
        char dir[] = "/tmp/vc_event_log_XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_path = m_dir + "/events.jsonl";
        setenv("VORNCLIENT_EVENT_LOG", m_path.c_str(), 1);
    }
    ~EventLogFileTest() override {
        unsetenv("VORNCLIENT_EVENT_LOG");
        unlink(m_path.c_str());
        rmdir(m_dir.c_str());
    }

    std::vector<std::string> lines() {
        std::vector<std::string> out;
        std::ifstream in(m_path, std::ios::binary);
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }

    std::string m_dir;
    std::string m_path;
};

const std::regex kLineShape(
    "\\{\"time\": \"\\d{4}-\\d{2}-\\d{2}T\\d{2}:\\d{2}:\\d{2}\\.\\d{3}Z\", "
    "\"source\": \"VornClient\", \"event_id\": 1, \"type\": ([124]), \"message\": \"(.*)\"\\}");

TEST_F(EventLogFileTest, EachEventIsOneJsonLine) {
    platform::EventLog& log = platform::nativeEventLog();
    log.report(L"VornClient", platform::kEventInformation, L"service starting");
    log.report(L"VornClient", platform::kEventError, std::wstring(L"100% %s failed\0hidden", 21));
    const auto got = lines();
    ASSERT_EQ(got.size(), 2u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLineShape)) << got[0];
    EXPECT_EQ(m[1], "4");
    EXPECT_EQ(m[2], "service starting");
    ASSERT_TRUE(std::regex_match(got[1], m, kLineShape)) << got[1];
    EXPECT_EQ(m[1], "1");
    EXPECT_EQ(m[2], "100% %s failed");
}

TEST_F(EventLogFileTest, MessageIsEscapedAndSurrogatesAreCombined) {
    std::wstring text = L"q\"b\\n\nr\rt\t";
    text += wchar_t(0x01);
    text += wchar_t(0xE9);
    text += wchar_t(0xD83D);  // a pair: U+1F600
    text += wchar_t(0xDE00);
    text += wchar_t(0xDC00);  // lone low surrogate
    text += L"end";
    platform::nativeEventLog().report(L"VornClient", platform::kEventWarning, text);
    const auto got = lines();
    ASSERT_EQ(got.size(), 1u);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(got[0], m, kLineShape)) << got[0];
    EXPECT_EQ(m[1], "2");
    EXPECT_EQ(m[2],
              "q\\\"b\\\\n\\nr\\rt\\t\\u0001\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBD"
              "end");
}

TEST_F(EventLogFileTest, ConcurrentWritersNeverInterleave) {
    constexpr int kThreads = 4;
    constexpr int kEach = 100;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            const std::wstring text = L"writer " + std::to_wstring(t) + L" " +
                                      std::wstring(500, static_cast<wchar_t>(L'a' + t));
            for (int i = 0; i < kEach; ++i) {
                platform::nativeEventLog().report(L"VornClient", platform::kEventError, text);
            }
        });
    }
    for (auto& th : threads)
        th.join();
    const auto got = lines();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kThreads * kEach));
    for (const auto& line : got)
        ASSERT_TRUE(std::regex_match(line, kLineShape)) << line;
}

TEST_F(EventLogFileTest, WritesWithoutFreeDescriptorsAndFollowsAMovedFile) {
    platform::EventLog& log = platform::nativeEventLog();
    log.report(L"VornClient", platform::kEventError, L"first");

    // No descriptor left: the message still reaches the file.
    rlimit saved{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &saved));
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    close(lowestFree);
    rlimit none = saved;
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &none));
    log.report(L"VornClient", platform::kEventError, L"second");
    ASSERT_EQ(0, setrlimit(RLIMIT_NOFILE, &saved));

    // Rotated away: the next message starts the file afresh.
    const std::string moved = m_path + ".1";
    ASSERT_EQ(0, std::rename(m_path.c_str(), moved.c_str()));
    log.report(L"VornClient", platform::kEventError, L"third");
    EXPECT_EQ(lines().size(), 1u);
    std::ifstream old(moved);
    int oldLines = 0;
    for (std::string line; std::getline(old, line);)
        ++oldLines;
    EXPECT_EQ(oldLines, 2);
    unlink(moved.c_str());
}

TEST_F(EventLogFileTest, UnwritableFileIsSilentlyIgnored) {
    const std::string missing = m_dir + "/no/such/folder/events.jsonl";
    setenv("VORNCLIENT_EVENT_LOG", missing.c_str(), 1);
    EXPECT_NO_FATAL_FAILURE(
        platform::nativeEventLog().report(L"VornClient", platform::kEventError, L"lost"));
    EXPECT_NE(access(missing.c_str(), F_OK), 0);
}

}  // namespace

#endif  // _WIN32
