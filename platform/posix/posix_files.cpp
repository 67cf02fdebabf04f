#include "platform/posix/posix_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

#include "platform/errors.h"
#include "platform/platform.h"
#include "platform/posix/errno_map.h"
#include "platform/posix/fd_handle.h"
#include "platform/posix/utf_codec.h"

namespace platform {
namespace posix {
namespace {

constexpr const char* kProgramDataEnv = "VORNCLIENT_PROGRAMDATA";
constexpr const char* kDefaultProgramData = "/var/lib";
constexpr std::uint32_t kErrorBadPathname = 161;  // ERROR_BAD_PATHNAME
constexpr unsigned kRenameNoReplace = 1;          // RENAME_NOREPLACE
constexpr mode_t kFolderMode = 0755;

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Result of mkdir() for one folder on the way: 0 when created or already a
// folder, else an errno value. A file in the way is not a folder.
int makeOneFolder(const std::string& path, bool& created) {
    created = false;
    if (::mkdir(path.c_str(), kFolderMode) == 0) {
        created = true;
        return 0;
    }
    const int err = errno;
    if (err != EEXIST)
        return err;
    return isDirectory(path) ? 0 : ENOTDIR;
}

std::string withoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// rename() that refuses an existing target. 0 or an errno value.
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef SYS_renameat2
    if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), kRenameNoReplace) ==
        0)
        return 0;
    const int err = errno;
    // Kernels or file systems without the flag: link() refuses an existing
    // target as well.
    if (err != ENOSYS && err != EINVAL)
        return err;
#endif
    if (::link(from.c_str(), to.c_str()) != 0)
        return errno;
    if (::unlink(from.c_str()) != 0) {
        const int err2 = errno;
        ::unlink(to.c_str());
        return err2;
    }
    return 0;
}

// One read, again when a signal interrupted it: bytes read, 0 at the end,
// -1 with errno on failure.
ssize_t readSome(int fd, char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, size);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

int writeBytes(int fd, const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, data + done, size - done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        done += static_cast<std::size_t>(put);
    }
    return 0;
}

int copyBytes(int in, int out) {
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = readSome(in, buffer, sizeof buffer);
        if (got <= 0)
            return got == 0 ? 0 : errno;
        const int err = writeBytes(out, buffer, static_cast<std::size_t>(got));
        if (err != 0)
            return err;
    }
}

int readAll(int fd, std::string& out) {
    char buffer[16 * 1024];
    for (;;) {
        const ssize_t got = readSome(fd, buffer, sizeof buffer);
        if (got <= 0)
            return got == 0 ? 0 : errno;
        out.append(buffer, static_cast<std::size_t>(got));
    }
}

// Writes `bytes` to a new file at `temp` that only its owner (and root) may
// read, then renames it over `target`. 0 or an errno value.
int replaceWithPrivateFile(const std::string& temp, const std::string& target,
                           const std::string& bytes) {
    ::unlink(temp.c_str());  // a leftover of an earlier run, with its mode
    FdHandle fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid())
        return errno;
    int err = writeAll(fd.get(), bytes);
    if (::close(fd.release()) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0)
        err = errno;
    if (err != 0)
        ::unlink(temp.c_str());
    return err;
}

}  // namespace

int writeAll(int fd, const std::string& bytes) {
    return writeBytes(fd, bytes.data(), bytes.size());
}

bool pathToUtf8(const std::wstring& path, std::string& out) {
    out = utf16ToUtf8(path.data(), path.size());
    return out.find('\0') == std::string::npos;
}

int copyThenUnlink(const std::string& from, const std::string& to) {
    FdHandle in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in.valid())
        return errno;
    struct stat st;
    if (::fstat(in.get(), &st) != 0)
        return errno;
    // Only files are carried across file systems, as with a Windows move.
    if (!S_ISREG(st.st_mode))
        return EXDEV;
    FdHandle out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (!out.valid())
        return errno;
    int err = copyBytes(in.get(), out.get());
    if (err == 0 && ::fsync(out.get()) != 0)
        err = errno;
    if (::close(out.release()) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::unlink(from.c_str()) != 0)
        err = errno;
    if (err != 0)
        ::unlink(to.c_str());
    return err;
}

}  // namespace posix

std::int32_t PosixFiles::programDataFolder(std::wstring& out) {
    const char* overridden = std::getenv(posix::kProgramDataEnv);
    const std::string folder = posix::withoutTrailingSlashes(
        overridden != nullptr && *overridden != '\0' ? overridden : posix::kDefaultProgramData);
    out = utf8ToUtf16(folder.data(), folder.size());
    return 0;
}

int PosixFiles::createDirectory(const std::wstring& path) {
    std::string utf8;
    if (!posix::pathToUtf8(path, utf8) || utf8.empty())
        return static_cast<int>(posix::kErrorBadPathname);
    const std::string target = posix::withoutTrailingSlashes(utf8);
    bool created = false;
    for (std::size_t slash = target.find('/', 1); slash != std::string::npos;
         slash = target.find('/', slash + 1)) {
        if (target[slash - 1] == '/')
            continue;  // "a//b"
        if (const int err = posix::makeOneFolder(target.substr(0, slash), created))
            return static_cast<int>(win32ErrorFromErrno(err));
    }
    if (const int err = posix::makeOneFolder(target, created))
        return static_cast<int>(win32ErrorFromErrno(err));
    return created ? 0 : static_cast<int>(kErrorAlreadyExists);
}

wchar_t PosixFiles::separator() {
    return L'/';
}

std::uint32_t PosixFiles::deleteFile(const std::wstring& path) {
    std::string utf8;
    if (!posix::pathToUtf8(path, utf8))
        return posix::kErrorBadPathname;
    return ::unlink(utf8.c_str()) == 0 ? 0 : win32ErrorFromErrno(errno);
}

bool PosixFiles::fileExists(const std::wstring& path) {
    std::string utf8;
    struct stat st;
    return posix::pathToUtf8(path, utf8) && ::lstat(utf8.c_str(), &st) == 0;
}

std::uint32_t PosixFiles::moveFileNoReplace(const std::wstring& from, const std::wstring& to) {
    std::string source;
    std::string target;
    if (!posix::pathToUtf8(from, source) || !posix::pathToUtf8(to, target))
        return posix::kErrorBadPathname;
    int err = posix::renameNoReplace(source, target);
    if (err == EXDEV)
        err = posix::copyThenUnlink(source, target);
    return err == 0 ? 0 : win32ErrorFromErrno(err);
}

std::unique_ptr<std::ostream> PosixFiles::openTextForWrite(const std::wstring& path) {
    auto stream = std::make_unique<std::ofstream>();
    std::string utf8;
    if (posix::pathToUtf8(path, utf8))
        stream->open(utf8, std::ios::out | std::ios::trunc);
    if (!stream->is_open())
        stream->setstate(std::ios::failbit);
    return stream;
}

std::unique_ptr<std::istream> PosixFiles::openTextForRead(const std::wstring& path,
                                                          std::uint32_t& error) {
    auto stream = std::make_unique<std::ifstream>();
    std::string utf8;
    error = posix::kErrorBadPathname;
    if (posix::pathToUtf8(path, utf8)) {
        errno = 0;
        stream->open(utf8, std::ios::in);
        // The file buffer opens with fopen(), which leaves errno telling why.
        error = stream->is_open() ? 0 : win32ErrorFromErrno(errno != 0 ? errno : EIO);
    }
    if (!stream->is_open())
        stream->setstate(std::ios::failbit);
    return stream;
}

std::uint32_t PosixFiles::replacePrivateFile(const std::wstring& path, const std::string& bytes) {
    std::string target;
    if (!posix::pathToUtf8(path, target) || target.empty())
        return posix::kErrorBadPathname;
    const int err = posix::replaceWithPrivateFile(target + ".tmp", target, bytes);
    return err == 0 ? 0 : win32ErrorFromErrno(err);
}

std::uint32_t PosixFiles::readWholeFile(const std::wstring& path, std::string& out) {
    out.clear();
    std::string utf8;
    if (!posix::pathToUtf8(path, utf8) || utf8.empty())
        return posix::kErrorBadPathname;
    posix::FdHandle fd(::open(utf8.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return win32ErrorFromErrno(errno);
    const int err = posix::readAll(fd.get(), out);
    return err == 0 ? 0 : win32ErrorFromErrno(err);
}

Files& nativeFiles() {
    static PosixFiles g_instance;
    return g_instance;
}

}  // namespace platform
