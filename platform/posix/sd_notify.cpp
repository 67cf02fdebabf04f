#include "platform/posix/sd_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace platform {

int sendNotifyDatagram(const std::string& socketPath, const std::string& message) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() > sizeof addr.sun_path)
        return EINVAL;
    const bool abstract = socketPath[0] == '@';
    if (!abstract && socketPath.size() == sizeof addr.sun_path)
        return EINVAL;  // no room for NUL
    std::memcpy(addr.sun_path, socketPath.data(), socketPath.size());
    if (abstract)
        addr.sun_path[0] = '\0';
    // An abstract name is exactly its bytes; a path also carries its NUL.
    const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) +
                                                    socketPath.size() + (abstract ? 0 : 1));

    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const ssize_t sent = ::sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                  reinterpret_cast<const sockaddr*>(&addr), length);
    const int err = sent < 0 ? errno : 0;
    ::close(fd);
    if (err == 0 && static_cast<std::size_t>(sent) != message.size())
        return EMSGSIZE;
    return err;
}

int notifyServiceManager(const std::string& message) {
    const char* socketPath = std::getenv("NOTIFY_SOCKET");
    if (socketPath == nullptr || socketPath[0] == '\0')
        return 0;
    return sendNotifyDatagram(socketPath, message);
}

}  // namespace platform
