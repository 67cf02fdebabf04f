// The publisher's thread: it asks the loop for a snapshot at once and then
// every interval, writes what it is handed and sends the summary line, says
// a failing write once, and removes only a file it wrote.
#include "proxy/status_publisher.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

#include "platform/errors.h"
#include "tests/fakes/fake_files.h"
#include "tests/fakes/fake_service_control.h"
#include "tests/fakes/platform_fixture.h"

namespace {

class StatusPublisherTest : public ::testing::Test {
protected:
    StatusPublisherTest() : m_scope(makePlatform()) {
        std::filesystem::create_directories(m_files.dataDir());
    }

    StatusPublisher::Settings settings(std::chrono::milliseconds interval) const {
        StatusPublisher::Settings s;
        s.path = m_files.dataPath("status.txt").wstring();
        s.interval = interval;
        return s;
    }
    std::function<void()> countWakes() {
        return [this] {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_wakes;
            }
            m_woken.notify_all();
        };
    }
    bool waitForWakes(int n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_woken.wait_for(lock, std::chrono::seconds(20), [&] { return m_wakes >= n; });
    }
    static RelayStatus someStatus(std::uint64_t accepted) {
        RelayStatus s;
        s.taken = 7;
        s.version = "9.9.9";
        s.users = {{L"H\\u", 2, 0, 0}};
        s.counters.accepted = accepted;
        return s;
    }

    RecordingPlatform m_recording;
    FakeFiles m_files;
    FakeServiceControl m_scm;

private:
    platform::Platform makePlatform() {
        platform::Platform p = platform::current();
        p.files = &m_files;
        p.serviceControl = &m_scm;
        return p;
    }
    platform::ScopedPlatform m_scope;
    std::mutex m_mutex;
    std::condition_variable m_woken;
    int m_wakes = 0;
};

}  // namespace

TEST_F(StatusPublisherTest, AsksAtOnceWritesWhatItIsHandedAndRemovesItWhenStopped) {
    StatusPublisher publisher(settings(std::chrono::hours(1)), countWakes());
    EXPECT_FALSE(publisher.snapshotWanted());
    publisher.start();
    ASSERT_TRUE(waitForWakes(1));
    EXPECT_TRUE(publisher.snapshotWanted());
    EXPECT_FALSE(publisher.snapshotWanted()) << "one request, one answer";

    publisher.handOver(someStatus(5));
    ASSERT_TRUE(m_scm.waitForStatusTexts(1));  // sent after the file was written
    EXPECT_EQ(std::vector<std::wstring>{L"2 connections for 1 user; gateway not tried yet"},
              m_scm.statusTexts());
    RelayStatus written;
    ASSERT_TRUE(parseSnapshot(m_files.readFile("status.txt"), written));
    EXPECT_EQ(5u, written.counters.accepted);
    EXPECT_EQ(3600000u, written.intervalMillis);

    publisher.stop();
    EXPECT_FALSE(m_files.exists("status.txt"));
    EXPECT_TRUE(m_recording.log().events().empty());
}

TEST_F(StatusPublisherTest, AsksAgainEveryInterval) {
    StatusPublisher publisher(settings(std::chrono::milliseconds(5)), countWakes());
    publisher.start();
    EXPECT_TRUE(waitForWakes(3));
}

TEST_F(StatusPublisherTest, AFailingWriteIsLoggedOnceAndTheSummaryStillGoesOut) {
    m_files.m_replaceResult = platform::kErrorAccessDenied;
    StatusPublisher publisher(settings(std::chrono::hours(1)), [] {});
    publisher.start();
    publisher.handOver(someStatus(1));
    ASSERT_TRUE(m_scm.waitForStatusTexts(1));
    publisher.handOver(someStatus(2));
    ASSERT_TRUE(m_scm.waitForStatusTexts(2));
    EXPECT_EQ(1u, m_recording.log().count("StatusPublisher::writeFile(), cannot write "));
    EXPECT_EQ(1u, m_recording.log().count(", error = 5"));

    // Renewals work again: the next failure is news again.
    m_files.m_replaceResult = 0;
    publisher.handOver(someStatus(3));
    ASSERT_TRUE(m_scm.waitForStatusTexts(3));
    EXPECT_TRUE(m_files.exists("status.txt"));
    m_files.m_replaceResult = platform::kErrorAccessDenied;
    publisher.handOver(someStatus(4));
    ASSERT_TRUE(m_scm.waitForStatusTexts(4));
    EXPECT_EQ(2u, m_recording.log().count("StatusPublisher::writeFile(), cannot write "));
}

TEST_F(StatusPublisherTest, AFileItDidNotWriteStays) {
    m_files.writeFile("status.txt", "another relay's");
    {
        StatusPublisher publisher(settings(std::chrono::hours(1)), countWakes());
        publisher.start();
        ASSERT_TRUE(waitForWakes(1));
    }
    EXPECT_EQ("another relay's", m_files.readFile("status.txt"));
}

TEST_F(StatusPublisherTest, WithoutTheManagerLineOnlyTheFileIsWritten) {
    StatusPublisher::Settings s = settings(std::chrono::hours(1));
    s.notifyManager = false;
    StatusPublisher publisher(s, [] {});
    publisher.start();
    publisher.handOver(someStatus(1));
    publisher.stop();  // whatever was pending is dropped or written, never half
    EXPECT_TRUE(m_scm.statusTexts().empty());
}
