#include "platform/posix/run_command.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/fd_handle.h"

extern char** environ;

namespace platform {
namespace {

class SpawnActions {
public:
    SpawnActions() { m_ok = posix_spawn_file_actions_init(&m_actions) == 0; }
    ~SpawnActions() {
        if (m_ok)
            posix_spawn_file_actions_destroy(&m_actions);
    }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    bool ok() const { return m_ok; }
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions;
    bool m_ok = false;
};

// The child starts with SIGPIPE at its default action, whatever this
// process ignores: other programs expect it there.
class SpawnAttributes {
public:
    SpawnAttributes() {
        m_initialised = posix_spawnattr_init(&m_attr) == 0;
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        m_ok = m_initialised && posix_spawnattr_setsigdefault(&m_attr, &defaults) == 0 &&
               posix_spawnattr_setflags(&m_attr, POSIX_SPAWN_SETSIGDEF) == 0;
    }
    ~SpawnAttributes() {
        if (m_initialised)
            posix_spawnattr_destroy(&m_attr);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    bool ok() const { return m_ok; }
    posix_spawnattr_t* get() { return &m_attr; }

private:
    posix_spawnattr_t m_attr;
    bool m_initialised = false;
    bool m_ok = false;
};

}  // namespace

int runCommand(const std::vector<std::string>& argv, std::string& output) {
    output.clear();
    if (argv.empty())
        return -1;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return -1;
    posix::FdHandle readEnd(fds[0]);
    posix::FdHandle writeEnd(fds[1]);

    SpawnActions actions;
    SpawnAttributes attributes;
    if (!actions.ok() || !attributes.ok() ||
        posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO) != 0 ||
        posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0) !=
            0) {
        return -1;
    }
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pid_t pid = 0;
    if (posix_spawnp(&pid, args[0], actions.get(), attributes.get(), args.data(), environ) != 0)
        return -1;
    writeEnd.reset();

    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(readEnd.get(), buffer, sizeof buffer);
        if (n > 0) {
            output.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    // 127 is the shell's "command not found", which posix_spawnp may report
    // through the child instead of failing itself.
    if (!WIFEXITED(status) || WEXITSTATUS(status) == 127)
        return -1;
    return WEXITSTATUS(status);
}

}  // namespace platform
