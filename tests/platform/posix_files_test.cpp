// Folders, moves and text streams on Linux, in a temporary folder.
#ifdef __linux__

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

#include "gtest/gtest.h"
#include "platform/errors.h"
#include "platform/posix/posix_files.h"

namespace {

namespace fs = std::filesystem;

std::wstring wide(const std::string& ascii) {
    return std::wstring(ascii.begin(), ascii.end());
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

constexpr uid_t kNobody = 65534;

// Runs the call as it is, or as root in a child process that first becomes
// nobody (user, group, no supplementary groups). The call's result, or -1
// when the child could not drop its privileges or report.
int asUnprivileged(const std::function<int()>& call) {
    if (::geteuid() != 0)
        return call();
    int channel[2];
    if (::pipe(channel) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        int result = -1;
        if (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0)
            result = call();
        const bool sent = ::write(channel[1], &result, sizeof result) == sizeof result;
        ::_exit(sent ? 0 : 1);
    }
    ::close(channel[1]);
    int result = -1;
    if (child < 0 || ::read(channel[0], &result, sizeof result) != sizeof result)
        result = -1;
    ::close(channel[0]);
    int status = 0;
    if (child > 0)
        ::waitpid(child, &status, 0);
    return result;
}

class PosixFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vc-files-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(&pattern[0]));
        m_dir = pattern;
    }
    void TearDown() override {
        std::error_code ignored;
        if (!m_dir.empty())
            fs::remove_all(m_dir, ignored);
    }
    std::string path(const std::string& name) const { return m_dir + "/" + name; }
    std::wstring wpath(const std::string& name) const { return wide(path(name)); }

    platform::PosixFiles m_files;
    std::string m_dir;
};

class EnvGuard {
public:
    explicit EnvGuard(const char* name) : m_name(name) {
        if (const char* v = std::getenv(name))
            m_saved = v, m_had = true;
    }
    ~EnvGuard() {
        if (m_had)
            ::setenv(m_name, m_saved.c_str(), 1);
        else
            ::unsetenv(m_name);
    }

private:
    const char* m_name;
    std::string m_saved;
    bool m_had = false;
};

TEST_F(PosixFilesTest, ProgramDataIsVarLibUnlessOverridden) {
    EnvGuard guard("VORNCLIENT_PROGRAMDATA");
    std::wstring folder = L"stale";
    ::unsetenv("VORNCLIENT_PROGRAMDATA");
    EXPECT_EQ(0, m_files.programDataFolder(folder));
    EXPECT_EQ(L"/var/lib", folder);
    ::setenv("VORNCLIENT_PROGRAMDATA", "", 1);
    EXPECT_EQ(0, m_files.programDataFolder(folder));
    EXPECT_EQ(L"/var/lib", folder);
    ::setenv("VORNCLIENT_PROGRAMDATA", (m_dir + "//").c_str(), 1);
    EXPECT_EQ(0, m_files.programDataFolder(folder));
    EXPECT_EQ(wide(m_dir), folder);
    EXPECT_EQ(L'/', m_files.separator());
}

TEST_F(PosixFilesTest, CreateDirectoryMakesEveryMissingFolderOnce) {
    const std::string deep = path("a/b/c");
    EXPECT_EQ(0, m_files.createDirectory(wide(deep)));
    EXPECT_TRUE(fs::is_directory(deep));
    EXPECT_EQ(static_cast<int>(platform::kErrorAlreadyExists), m_files.createDirectory(wide(deep)));
    EXPECT_EQ(static_cast<int>(platform::kErrorAlreadyExists),
              m_files.createDirectory(wide(deep + "/")));
    EXPECT_EQ(0, m_files.createDirectory(wpath("a//b/d")));
    EXPECT_TRUE(fs::is_directory(path("a/b/d")));
}

TEST_F(PosixFilesTest, CreateDirectoryFailsWhereAFileIsInTheWay) {
    writeFile(path("file"), "x");
    const int onFile = m_files.createDirectory(wpath("file"));
    EXPECT_NE(0, onFile);
    EXPECT_NE(static_cast<int>(platform::kErrorAlreadyExists), onFile)
        << "a file is not the folder asked for";
    const int under = m_files.createDirectory(wpath("file/sub"));
    EXPECT_NE(0, under);
    EXPECT_NE(static_cast<int>(platform::kErrorAlreadyExists), under);
    EXPECT_NE(0, m_files.createDirectory(L""));
    EXPECT_NE(0, m_files.createDirectory(wpath("x") + L'\0' + L"y"));
    EXPECT_FALSE(fs::exists(path("x")));
}

TEST_F(PosixFilesTest, CreateDirectoryReportsPermissionFailures) {
    // Root may write anywhere: as root, the folder is nobody's and nobody
    // makes the call.
    if (::geteuid() == 0) {
        ASSERT_EQ(0, ::chown(m_dir.c_str(), kNobody, kNobody));
    }
    ASSERT_EQ(0, ::chmod(m_dir.c_str(), 0500));
    EXPECT_EQ(static_cast<int>(platform::kErrorAccessDenied),
              asUnprivileged([&] { return m_files.createDirectory(wpath("denied/x")); }));
    EXPECT_FALSE(fs::exists(path("denied")));
    ::chmod(m_dir.c_str(), 0700);
}

TEST_F(PosixFilesTest, MoveNeverReplacesAnExistingTarget) {
    writeFile(path("new"), "new content");
    writeFile(path("current"), "current content");
    EXPECT_EQ(platform::kErrorAlreadyExists,
              m_files.moveFileNoReplace(wpath("new"), wpath("current")));
    EXPECT_EQ("new content", contents(path("new")));
    EXPECT_EQ("current content", contents(path("current")));

    EXPECT_EQ(0u, m_files.moveFileNoReplace(wpath("current"), wpath("backup")));
    EXPECT_FALSE(fs::exists(path("current")));
    EXPECT_EQ("current content", contents(path("backup")));
    EXPECT_EQ(0u, m_files.moveFileNoReplace(wpath("new"), wpath("current")));
    EXPECT_EQ("new content", contents(path("current")));

    EXPECT_EQ(platform::kErrorFileNotFound,
              m_files.moveFileNoReplace(wpath("missing"), wpath("other")));
    EXPECT_FALSE(fs::exists(path("other")));
}

TEST_F(PosixFilesTest, CrossDeviceCopyKeepsContentAndModeAndNeverReplaces) {
    std::string data(200000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 7);
    writeFile(path("src"), data);
    ASSERT_EQ(0, ::chmod(path("src").c_str(), 0640));
    EXPECT_EQ(0, platform::posix::copyThenUnlink(path("src"), path("dst")));
    EXPECT_FALSE(fs::exists(path("src")));
    EXPECT_EQ(data, contents(path("dst")));
    struct stat st;
    ASSERT_EQ(0, ::stat(path("dst").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 07777);

    writeFile(path("src2"), "second");
    EXPECT_EQ(EEXIST, platform::posix::copyThenUnlink(path("src2"), path("dst")));
    EXPECT_EQ("second", contents(path("src2")));
    EXPECT_EQ(data, contents(path("dst")));

    fs::create_directory(path("folder"));
    EXPECT_NE(0, platform::posix::copyThenUnlink(path("folder"), path("folder2")));
    EXPECT_TRUE(fs::is_directory(path("folder")));
    EXPECT_FALSE(fs::exists(path("folder2")));
}

TEST_F(PosixFilesTest, DeleteRemovesOnce) {
    writeFile(path("f"), "x");
    EXPECT_EQ(0u, m_files.deleteFile(wpath("f")));
    EXPECT_FALSE(fs::exists(path("f")));
    EXPECT_EQ(platform::kErrorFileNotFound, m_files.deleteFile(wpath("f")));
    EXPECT_TRUE(platform::isNotFound(m_files.deleteFile(wpath("no-folder/f"))));
}

TEST_F(PosixFilesTest, TextStreamsWriteBareLineFeedsAndReadBack) {
    {
        auto out = m_files.openTextForWrite(wpath("text.txt"));
        ASSERT_TRUE(out->good());
        *out << "DOM,Name,S-1-5-21-1-2-3-1001\n"
             << "x,y,z\n";
    }
    EXPECT_EQ("DOM,Name,S-1-5-21-1-2-3-1001\nx,y,z\n", contents(path("text.txt")));
    {
        auto out = m_files.openTextForWrite(wpath("text.txt"));
        *out << "short\n";
    }
    EXPECT_EQ("short\n", contents(path("text.txt"))) << "truncated on open";

    std::uint32_t error = 1;
    auto in = m_files.openTextForRead(wpath("text.txt"), error);
    EXPECT_EQ(0u, error);
    std::string line;
    ASSERT_TRUE(static_cast<bool>(std::getline(*in, line)));
    EXPECT_EQ("short", line);
    EXPECT_FALSE(static_cast<bool>(std::getline(*in, line)));
}

TEST_F(PosixFilesTest, FailedOpensGiveFailedStreams) {
    auto out = m_files.openTextForWrite(wpath("no/such/folder/f"));
    ASSERT_NE(nullptr, out);
    EXPECT_TRUE(out->fail());
    *out << "ignored";
    std::uint32_t error = 0;
    auto in = m_files.openTextForRead(wpath("missing"), error);
    ASSERT_NE(nullptr, in);
    EXPECT_TRUE(in->fail());
    EXPECT_EQ(platform::kErrorFileNotFound, error);

    // A NUL inside a path must not open the shorter path before it.
    auto cut = m_files.openTextForWrite(wpath("cut") + L'\0' + L"tail");
    EXPECT_TRUE(cut->fail());
    EXPECT_FALSE(fs::exists(path("cut")));
}

TEST_F(PosixFilesTest, WidePathsAreUtf8OnDisk) {
    std::wstring name;
    for (char16_t unit : std::u16string(u"caf\u00e9-\u6587-\U0001F600"))
        name.push_back(static_cast<wchar_t>(unit));
    {
        auto out = m_files.openTextForWrite(wide(m_dir + "/") + name);
        ASSERT_TRUE(out->good());
        *out << "x\n";
    }
    EXPECT_EQ("x\n", contents(path("caf\xC3\xA9-\xE6\x96\x87-\xF0\x9F\x98\x80")));
    EXPECT_EQ(0, m_files.createDirectory(wide(m_dir + "/") + name + L"-d"));
    EXPECT_TRUE(fs::is_directory(path("caf\xC3\xA9-\xE6\x96\x87-\xF0\x9F\x98\x80-d")));
}

// The relay's state file: replaced whole, mode 0600 whatever the umask and
// whatever mode an older file or a leftover temporary file had.
TEST_F(PosixFilesTest, APrivateFileIsReplacedWholeWithMode0600) {
    const mode_t savedMask = ::umask(0);
    writeFile(path("status.txt"), "old");
    ::chmod(path("status.txt").c_str(), 0644);
    writeFile(path("status.txt.tmp"), "leftover");
    ::chmod(path("status.txt.tmp").c_str(), 0666);
    const std::uint32_t error = m_files.replacePrivateFile(wpath("status.txt"), "new state\n");
    ::umask(savedMask);
    ASSERT_EQ(0u, error);
    EXPECT_EQ("new state\n", contents(path("status.txt")));
    struct stat st {};
    ASSERT_EQ(0, ::stat(path("status.txt").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_FALSE(fs::exists(path("status.txt.tmp")));

    std::string read;
    EXPECT_EQ(0u, m_files.readWholeFile(wpath("status.txt"), read));
    EXPECT_EQ("new state\n", read);
    EXPECT_EQ(platform::kErrorFileNotFound, m_files.readWholeFile(wpath("none.txt"), read));
    EXPECT_EQ(platform::kErrorPathNotFound, m_files.readWholeFile(wpath("status.txt/below"), read));
    // ENOENT: Linux does not tell a missing folder from a missing file.
    EXPECT_EQ(platform::kErrorFileNotFound,
              m_files.replacePrivateFile(wpath("missing/status.txt"), "x"));
}

}  // namespace

#endif  // __linux__
