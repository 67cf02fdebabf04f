// Logon and logoff events from a stand-in logind, a utmp file and the
// injection FIFO, the files in a temporary folder.
#ifdef __linux__

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/errors.h"
#include "platform/posix/session_watcher.h"
#include "platform/service_control.h"
#include "tests/platform/fake_logind.h"

namespace {

namespace fs = std::filesystem;
using platform::kWtsSessionLogoff;
using platform::kWtsSessionLogon;
using platform::posix::SessionWatcher;

// Written to the FIFO after a change that must not be reported: the watcher
// handles its source's changes before injected lines, so when this arrives,
// any event of the change would have come first.
constexpr std::uint32_t kMarkerUid = 4000000000u;

struct Event {
    std::uint32_t type = 0;
    std::uint32_t uid = 0;
    bool operator==(const Event& other) const { return type == other.type && uid == other.uid; }
};

std::ostream& operator<<(std::ostream& out, const Event& e) {
    return out << (e.type == kWtsSessionLogon    ? "logon "
                   : e.type == kWtsSessionLogoff ? "logoff "
                                                 : "none ")
               << e.uid;
}

Event logon(std::uint32_t uid) {
    return {kWtsSessionLogon, uid};
}
Event logoff(std::uint32_t uid) {
    return {kWtsSessionLogoff, uid};
}

class EventQueue {
public:
    SessionWatcher::EventHandler handler() {
        return [this](std::uint32_t type, std::uint32_t uid) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back({type, uid});
            m_ready.notify_all();
        };
    }

    // The next event, or {0, 0} when none comes in time.
    Event next() {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_for(lock, std::chrono::seconds(10), [this] { return !m_events.empty(); }))
            return Event{};
        const Event e = m_events.front();
        m_events.pop_front();
        return e;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Event> m_events;
};

class SessionWatcherTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vc-sessions-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(&pattern[0]));
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(m_dir, ignored);
    }

    std::string path(const std::string& name) const { return (m_dir / name).string(); }

    void touch(const std::string& name) { std::ofstream(path(name)) << "STATE=active\n"; }

    void inject(const std::string& text) {
        const int fd = ::open(path("events").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        EXPECT_EQ(static_cast<ssize_t>(text.size()), ::write(fd, text.data(), text.size()));
        ::close(fd);
    }

    void expectNothingBeforeMarker(EventQueue& events) {
        inject("logon " + std::to_string(kMarkerUid) + "\n");
        EXPECT_EQ(logon(kMarkerUid), events.next());
    }

    fs::path m_dir;
    FakeLogind m_logind;
};

TEST(SessionWatcherLineTest, AcceptsOnlyLogonAndLogoffWithAUid) {
    std::uint32_t type = 0;
    std::uint32_t uid = 0;
    EXPECT_TRUE(SessionWatcher::parseInjectedLine("logon 1000", type, uid));
    EXPECT_EQ(kWtsSessionLogon, type);
    EXPECT_EQ(1000u, uid);
    EXPECT_TRUE(SessionWatcher::parseInjectedLine(" logoff\t0 \r", type, uid));
    EXPECT_EQ(kWtsSessionLogoff, type);
    EXPECT_EQ(0u, uid);
    EXPECT_TRUE(SessionWatcher::parseInjectedLine("logon 4294967294", type, uid));
    EXPECT_EQ(4294967294u, uid);

    const std::vector<std::string> malformed = {"",
                                                "logon",
                                                "logon ",
                                                "logon1000",
                                                "Logon 1000",
                                                "login 1000",
                                                "logon -1",
                                                "logon +1",
                                                "logon 1000 extra",
                                                "logon 10x",
                                                "logon 4294967295",
                                                "logon 99999999999",
                                                "logon 0x10",
                                                std::string("logon 1\0", 8),
                                                "logoff 1 2"};
    for (const std::string& bad : malformed) {
        type = 99;
        uid = 99;
        EXPECT_FALSE(SessionWatcher::parseInjectedLine(bad, type, uid)) << bad;
        EXPECT_EQ(99u, type) << bad;
        EXPECT_EQ(99u, uid) << bad;
    }
}

TEST(SessionWatcherLineTest, TakesTheInjectionPathFromTheEnvironment) {
    ::setenv(SessionWatcher::kInjectionVariable, "/tmp/some-fifo", 1);
    EXPECT_EQ("/tmp/some-fifo", SessionWatcher::injectionPathFromEnvironment());
    ::unsetenv(SessionWatcher::kInjectionVariable);
    EXPECT_EQ("", SessionWatcher::injectionPathFromEnvironment());
}

TEST_F(SessionWatcherTest, ReportsFirstAndLastSessionsFromLogind) {
    m_logind.set({1000});  // already logged on: not reported
    EventQueue events;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    ASSERT_EQ(0u, watcher.start(events.handler()));

    const struct {
        std::vector<std::uint32_t> uids;
        bool readable;
        std::vector<Event> expected;
    } steps[] = {
        {{1000, 1001}, true, {logon(1001)}},
        {{1001, 1000, 1001}, true, {}},  // the same users in another order
        {{}, false, {}},                 // logind cannot be asked: no news
        {{1001}, true, {logoff(1000)}},  // against the last set read
        {{1003, 1002}, true, {logoff(1001), logon(1002), logon(1003)}},
        {{}, true, {logoff(1002), logoff(1003)}},
        {{1000}, true, {logon(1000)}},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        m_logind.set(steps[i].uids, steps[i].readable);
        ASSERT_TRUE(m_logind.waitFlushed()) << "step " << i << ": the change was not taken";
        for (const Event& e : steps[i].expected)
            EXPECT_EQ(e, events.next()) << "step " << i;
        expectNothingBeforeMarker(events);
    }
}

class UtmpFile {
public:
    explicit UtmpFile(std::string path) : m_path(std::move(path)) {}

    // One record per session: true for a live login, false for an ended one.
    void write(const std::string& user, const std::vector<bool>& live, bool replace) {
        const std::string target = replace ? m_path + ".new" : m_path;
        {
            std::ofstream out(target, std::ios::binary | std::ios::in | std::ios::out |
                                          (replace ? std::ios::trunc : std::ios::openmode()));
            if (!out)
                out.open(target, std::ios::binary | std::ios::out);
            for (std::size_t i = 0; i < live.size(); ++i) {
                struct utmp record;
                std::memset(&record, 0, sizeof record);
                record.ut_type = live[i] ? USER_PROCESS : DEAD_PROCESS;
                record.ut_pid = static_cast<pid_t>(100 + i);
                std::snprintf(record.ut_line, sizeof record.ut_line, "pts/%zu", i);
                std::strncpy(record.ut_user, user.c_str(), sizeof record.ut_user);
                out.write(reinterpret_cast<const char*>(&record), sizeof record);
            }
        }
        if (replace)
            fs::rename(target, m_path);
    }

private:
    std::string m_path;
};

TEST_F(SessionWatcherTest, ReportsUserProcessChangesInUtmpWithoutLogind) {
    const passwd* me = ::getpwuid(::getuid());
    if (me == nullptr || std::strlen(me->pw_name) >= sizeof(utmp::ut_user))
        GTEST_SKIP() << "the current user has no usable name";
    const std::string name = me->pw_name;
    const std::uint32_t uid = ::getuid();
    UtmpFile utmpFile(path("utmp"));
    utmpFile.write(name, {false}, false);

    m_logind.setRunning(false);
    EventQueue events;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    ASSERT_EQ(0u, watcher.start(events.handler()));

    utmpFile.write(name, {true}, false);  // rewritten in place
    EXPECT_EQ(logon(uid), events.next());
    utmpFile.write(name, {true, true}, false);  // a second session
    utmpFile.write(name, {false, true}, false);
    expectNothingBeforeMarker(events);
    utmpFile.write(name, {false, false}, true);  // replaced as a whole
    EXPECT_EQ(logoff(uid), events.next());
}

TEST_F(SessionWatcherTest, DeliversInjectedLinesAndIgnoresMalformedOnes) {
    EventQueue events;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    ASSERT_EQ(0u, watcher.start(events.handler()));
    struct stat st {};
    ASSERT_EQ(0, ::lstat(path("events").c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    inject("log");
    inject("on 7\n");  // a line split between writers
    EXPECT_EQ(logon(7), events.next());

    inject("logon\nlogon -3\nreboot 9\nlogon 9 9\n\n" + std::string(200, 'x') + "logon 9\n" +
           std::string("logon \0 9\n", 10) + "logoff 7\r\n");
    EXPECT_EQ(logoff(7), events.next());
    // Injected events are passed on as they come, repeats included.
    inject("logoff 7\nlogon 8\n");
    EXPECT_EQ(logoff(7), events.next());
    EXPECT_EQ(logon(8), events.next());
}

TEST_F(SessionWatcherTest, KeepsRunningWhenTheHandlerThrows) {
    EventQueue events;
    bool thrown = false;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    ASSERT_EQ(0u, watcher.start([&](std::uint32_t type, std::uint32_t uid) {
        if (!thrown) {
            thrown = true;
            throw std::runtime_error("handler failed");
        }
        events.handler()(type, uid);
    }));
    inject("logon 1\nlogon 2\n");
    EXPECT_EQ(logon(2), events.next());
}

TEST_F(SessionWatcherTest, RefusesAnInjectionPathThatIsNotAFifo) {
    touch("events");
    EventQueue events;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    EXPECT_EQ(platform::kErrorFileExists, watcher.start(events.handler()));
    std::ifstream in(path("events"));
    std::string content;
    std::getline(in, content);
    EXPECT_EQ("STATE=active", content);
    watcher.stop();
}

TEST_F(SessionWatcherTest, StartsOnceStopsIdempotentlyAndRestarts) {
    EventQueue events;
    SessionWatcher watcher(m_logind, path("utmp"), path("events"));
    watcher.stop();  // never started
    EXPECT_EQ(platform::kErrorInvalidParameter, watcher.start(nullptr));
    ASSERT_EQ(0u, watcher.start(events.handler()));
    EXPECT_EQ(platform::kErrorAlreadyExists, watcher.start(events.handler()));
    watcher.stop();
    watcher.stop();

    // The FIFO stays, and a new start reads it again.
    m_logind.set({1003});
    ASSERT_EQ(0u, watcher.start(events.handler()));
    inject("logon 5\n");
    EXPECT_EQ(logon(5), events.next());
    m_logind.set({});  // logged on before the restart
    EXPECT_EQ(logoff(1003), events.next());
    watcher.stop();

    // Without a monitor there is nothing to watch: the start fails.
    m_logind.failMonitor(platform::kErrorNotEnoughMemory);
    EXPECT_EQ(platform::kErrorNotEnoughMemory, watcher.start(events.handler()));
    watcher.stop();
}

}  // namespace

#endif  // __linux__
