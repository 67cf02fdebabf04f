// A process killed at any moment of a group mappings rewrite leaves, for the
// next start, a complete copy of the mappings: never a torn one, and never
// none. Runs the real Linux file layer in a child process and kills it with
// SIGKILL.
#ifndef _WIN32

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>

#include "platform/posix/posix_files.h"
#include "tests/fakes/platform_fixture.h"
#include "userinfo/user_information.h"

namespace {

constexpr int kGroups = 200;
constexpr int kRounds = 40;

std::wstring widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

// Rewrites the file forever: every generation renames all groups.
[[noreturn]] void rewriteForever(int readyFd) {
    UserInformation info;
    bool announced = false;
    for (unsigned generation = 0;; ++generation) {
        UserInfo user;
        user.domain = L"HOST";
        user.name = L"user";
        user.sid = L"S-1-5-21-1-2-3-1000";
        for (int g = 0; g < kGroups; ++g) {
            const std::string n = std::to_string(g);
            user.groups.push_back({L"HOST",
                                   widen("group" + n + "-gen" + std::to_string(generation)),
                                   widen("S-1-5-21-1-2-3-" + std::to_string(2001 + 2 * g))});
        }
        info.updateCache(1000, user);
        if (!announced) {
            announced = (::write(readyFd, "r", 1) == 1);
        }
    }
}

// The generations that the mapped group names come from.
std::set<std::string> generationsIn(const std::map<std::wstring, AccountInfo>& mappings) {
    std::set<std::string> generations;
    for (const auto& [sid, account] : mappings) {
        const std::string name(account.name.begin(), account.name.end());
        generations.insert(name.substr(name.find("-gen")));
    }
    return generations;
}

TEST(GroupMappingsCrashTest, KilledRewritesLeaveACompleteFileOrNone) {
    RecordingPlatform recording;
    const auto folder =
        std::filesystem::temp_directory_path() / ("vc-crash-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    ::setenv("VORNCLIENT_PROGRAMDATA", folder.c_str(), 1);
    std::mt19937 random(12345);
    int complete = 0;
    for (int round = 0; round < kRounds; ++round) {
        int ready[2];
        ASSERT_EQ(::pipe(ready), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(ready[0]);
            rewriteForever(ready[1]);
        }
        ::close(ready[1]);
        char byte = 0;
        // The child has written at least one complete file before the kill.
        ASSERT_EQ(::read(ready[0], &byte, 1), 1);
        ::close(ready[0]);
        ::usleep(random() % 20000);  // a random point in some later rewrite
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        // Killed between the two renames, the backup is read instead.
        UserInformation next;
        const auto mappings = next.groupMappings();
        EXPECT_EQ(mappings.size(), static_cast<std::size_t>(kGroups)) << "round " << round;
        EXPECT_EQ(generationsIn(mappings).size(), 1u) << "round " << round;
        complete += mappings.size() == static_cast<std::size_t>(kGroups) ? 1 : 0;
    }
    EXPECT_EQ(complete, kRounds);
    ::unsetenv("VORNCLIENT_PROGRAMDATA");
    std::filesystem::remove_all(folder);
}

// The real files seam, except that the move of the new file into place
// reports to the parent and waits there to be killed.
class FilesPausedBeforeTheLastRename : public platform::PosixFiles {
public:
    explicit FilesPausedBeforeTheLastRename(int readyFd) : m_readyFd(readyFd) {}
    std::uint32_t moveFileNoReplace(const std::wstring& from, const std::wstring& to) override {
        if (from.size() > 4 && from.compare(from.size() - 4, 4, L".tmp") == 0) {
            if (::write(m_readyFd, "k", 1) == 1) {
                for (;;)
                    ::pause();
            }
            ::_exit(2);
        }
        return PosixFiles::moveFileNoReplace(from, to);
    }

private:
    int m_readyFd;
};

UserInfo userWithGeneration(unsigned generation) {
    UserInfo user;
    user.domain = L"HOST";
    user.name = L"user";
    user.sid = L"S-1-5-21-1-2-3-1000";
    for (int g = 0; g < 3; ++g) {
        user.groups.push_back(
            {L"HOST", widen("group" + std::to_string(g) + "-gen" + std::to_string(generation)),
             widen("S-1-5-21-1-2-3-" + std::to_string(2001 + 2 * g))});
    }
    return user;
}

std::string generationOf(const UserInformation& info) {
    const auto generations = generationsIn(info.groupMappings());
    if (info.groupMappings().size() != 3 || generations.size() != 1)
        return "(" + std::to_string(info.groupMappings().size()) + " mappings)";
    return *generations.begin();
}

TEST(GroupMappingsCrashTest, KillBetweenTheRenamesKeepsTheBackupAsTheOnlyCopy) {
    RecordingPlatform recording;
    const auto folder =
        std::filesystem::temp_directory_path() / ("vc-swap-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    ::setenv("VORNCLIENT_PROGRAMDATA", folder.c_str(), 1);
    const auto data = folder / "Tarnwicket" / "VornClient";
    {
        UserInformation first;
        first.updateCache(1000, userWithGeneration(0));
    }

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(ready[0]);
        FilesPausedBeforeTheLastRename files(ready[1]);
        platform::Platform p = platform::current();
        p.files = &files;
        platform::ScopedPlatform scope(p);
        UserInformation info;
        info.updateCache(1000, userWithGeneration(1));
        ::_exit(3);  // never reached: the move pauses
    }
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status));
    ASSERT_FALSE(std::filesystem::exists(data / "group_mappings.txt"));
    ASSERT_TRUE(std::filesystem::exists(data / "group_mappings.txt~"));
    ASSERT_TRUE(std::filesystem::exists(data / "group_mappings.txt.tmp"));

    recording.log().clear();
    UserInformation next;
    EXPECT_EQ(generationOf(next), "-gen0");
    EXPECT_TRUE(recording.log().contains("reading the backup group mappings file instead"));
    // The next rewrite keeps the backup until the new file is in place.
    next.updateCache(1000, userWithGeneration(2));
    UserInformation after;
    EXPECT_EQ(generationOf(after), "-gen2");
    ASSERT_TRUE(std::filesystem::remove(data / "group_mappings.txt"));
    UserInformation fromBackup;
    EXPECT_EQ(generationOf(fromBackup), "-gen0");

    ::unsetenv("VORNCLIENT_PROGRAMDATA");
    std::filesystem::remove_all(folder);
}

TEST(GroupMappingsCrashTest, ReadErrorEndsTheReadNotTheProcess) {
    RecordingPlatform recording;
    const auto folder =
        std::filesystem::temp_directory_path() / ("vc-readerr-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    // A folder where the file should be: it opens, and every read fails.
    std::filesystem::create_directories(folder / "Tarnwicket" / "VornClient" /
                                        "group_mappings.txt");
    ::setenv("VORNCLIENT_PROGRAMDATA", folder.c_str(), 1);
    UserInformation info;
    EXPECT_TRUE(info.groupMappings().empty());
    EXPECT_TRUE(recording.log().contains(
        "UserInformation::readGroupMappingsFromDisk(), failed to read group mappings file"));
    ::unsetenv("VORNCLIENT_PROGRAMDATA");
    std::filesystem::remove_all(folder);
}

}  // namespace

#endif  // _WIN32
