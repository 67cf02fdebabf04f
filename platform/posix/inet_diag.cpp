#include "platform/posix/inet_diag.h"
#include "platform/posix/fd_handle.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

namespace platform {
namespace posix {
namespace {

// The kernel fills at most about 32 KiB per dump message batch.
constexpr std::size_t kReceiveBufferSize = 64 * 1024;
// A dump that stalls this long is abandoned rather than blocking the caller.
constexpr int kReceiveTimeoutSeconds = 2;

std::atomic<std::uint32_t> g_sequence{1};

// Every connection state, listeners and TIME_WAIT included (TCP_ESTABLISHED
// 1 .. TCP_NEW_SYN_RECV 12). Sockets that are only bound (13, newer kernels)
// are no connections and would cost a walk of the bind table.
constexpr std::uint32_t kAllConnectionStates = 0x1FFEu;

struct Request {
    nlmsghdr header;
    inet_diag_req_v2 request;
};

int linuxFamily(std::uint16_t family) {
    return family == kAfInet6 ? AF_INET6 : AF_INET;
}

Request makeRequest(std::uint16_t family, std::uint16_t flags, std::uint32_t sequence) {
    Request message;
    std::memset(&message, 0, sizeof message);
    message.header.nlmsg_len = sizeof message;
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = flags;
    message.header.nlmsg_seq = sequence;
    message.request.sdiag_family = static_cast<std::uint8_t>(linuxFamily(family));
    message.request.sdiag_protocol = IPPROTO_TCP;
    message.request.idiag_states = kAllConnectionStates;
    return message;
}

int sendRequest(int fd, const Request& message) {
    sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof kernel);
    kernel.nl_family = AF_NETLINK;
    for (;;) {
        const ssize_t sent = ::sendto(fd, &message, sizeof message, 0,
                                      reinterpret_cast<const sockaddr*>(&kernel), sizeof kernel);
        if (sent == static_cast<ssize_t>(sizeof message))
            return 0;
        if (sent < 0 && errno == EINTR)
            continue;
        return sent < 0 ? errno : EIO;
    }
}

TcpSocketEntry entryFromMessage(const inet_diag_msg& msg) {
    TcpSocketEntry entry;
    entry.family = msg.idiag_family == AF_INET6 ? kAfInet6 : kAfInet;
    entry.state = mibStateFromLinux(msg.idiag_state);
    // Addresses and ports stay in network byte order, as the rows need them.
    const std::size_t bytes = msg.idiag_family == AF_INET6 ? 16 : 4;
    std::memcpy(entry.localAddr.data(), msg.id.idiag_src, bytes);
    entry.localPort = msg.id.idiag_sport;
    std::memcpy(entry.remoteAddr.data(), msg.id.idiag_dst, bytes);
    entry.remotePort = msg.id.idiag_dport;
    entry.uid = msg.idiag_uid;
    entry.inode = msg.idiag_inode;
    return entry;
}

// Walks one datagram of netlink messages. Returns 0 to read on, -1 at the
// end of the dump (or after the one answer to a single query), or an errno
// value. Lengths come from the kernel but are checked all the same.
int parseBatch(const std::uint8_t* data, std::size_t length, std::uint32_t sequence, bool single,
               std::vector<TcpSocketEntry>& out) {
    std::size_t pos = 0;
    while (length - pos >= sizeof(nlmsghdr)) {
        nlmsghdr header;
        std::memcpy(&header, data + pos, sizeof header);
        if (header.nlmsg_len < sizeof header || header.nlmsg_len > length - pos)
            return EPROTO;
        const std::uint8_t* payload = data + pos + NLMSG_HDRLEN;
        const std::size_t payloadLength =
            header.nlmsg_len - std::min<std::size_t>(NLMSG_HDRLEN, header.nlmsg_len);
        if (header.nlmsg_seq == sequence) {
            if (header.nlmsg_type == NLMSG_DONE)
                return -1;
            if (header.nlmsg_type == NLMSG_ERROR) {
                nlmsgerr error;
                if (payloadLength < sizeof error)
                    return EPROTO;
                std::memcpy(&error, payload, sizeof error);
                return error.error < 0 ? -error.error : EPROTO;
            }
            if (header.nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                payloadLength >= sizeof(inet_diag_msg)) {
                inet_diag_msg msg;
                std::memcpy(&msg, payload, sizeof msg);
                if (msg.idiag_family == AF_INET || msg.idiag_family == AF_INET6)
                    out.push_back(entryFromMessage(msg));
                if (single)
                    return -1;
            }
        }
        pos += std::min<std::size_t>(NLMSG_ALIGN(header.nlmsg_len), length - pos);
    }
    return 0;
}

int receiveReplies(int fd, std::uint32_t sequence, bool single, std::vector<TcpSocketEntry>& out) {
    thread_local std::vector<std::uint8_t> buffer(kReceiveBufferSize);
    for (;;) {
        iovec part{buffer.data(), buffer.size()};
        msghdr header;
        std::memset(&header, 0, sizeof header);
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t got = ::recvmsg(fd, &header, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return errno;
        if (got == 0)
            return EPROTO;
        if (header.msg_flags & MSG_TRUNC)
            return EMSGSIZE;
        const int rc =
            parseBatch(buffer.data(), static_cast<std::size_t>(got), sequence, single, out);
        if (rc < 0)
            return 0;
        if (rc > 0)
            return rc;
    }
}

// Sends one request and collects the sockets of the answer.
int exchange(const Request& request, bool single, std::vector<TcpSocketEntry>& out) {
    // One socket per thread, kept between lookups: a lookup per accepted
    // connection should not also cost a socket's making and closing. After
    // a failure it is made anew, so nothing of a broken exchange lingers.
    thread_local FdHandle t_socket;
    if (!t_socket.valid()) {
        t_socket.reset(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
        if (!t_socket.valid())
            return errno;
        const timeval timeout{kReceiveTimeoutSeconds, 0};
        ::setsockopt(t_socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
    int err = sendRequest(t_socket.get(), request);
    if (err == 0)
        err = receiveReplies(t_socket.get(), request.header.nlmsg_seq, single, out);
    if (err != 0 && err != ENOENT)
        t_socket.reset();
    return err;
}

}  // namespace

int dumpTcpSockets(std::uint16_t family, std::vector<TcpSocketEntry>& out) {
    std::vector<TcpSocketEntry> entries;
    if (const int err =
            exchange(makeRequest(family, NLM_F_REQUEST | NLM_F_DUMP, g_sequence.fetch_add(1)),
                     false, entries))
        return err;
    out.swap(entries);
    return 0;
}

int queryTcpSocket(std::uint16_t family, const TcpOwnerHint& tuple, TcpSocketEntry& out,
                   bool& found) {
    found = false;
    // Ports that do not fit 16 bits name no socket.
    if (tuple.localPort > 0xFFFF || tuple.remotePort > 0xFFFF)
        return 0;
    Request request = makeRequest(family, NLM_F_REQUEST, g_sequence.fetch_add(1));
    const std::size_t bytes = family == kAfInet6 ? 16 : 4;
    std::memcpy(request.request.id.idiag_src, tuple.localAddr.data(), bytes);
    std::memcpy(request.request.id.idiag_dst, tuple.remoteAddr.data(), bytes);
    request.request.id.idiag_sport = static_cast<std::uint16_t>(tuple.localPort);
    request.request.id.idiag_dport = static_cast<std::uint16_t>(tuple.remotePort);
    request.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    request.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    std::vector<TcpSocketEntry> entries;
    const int err = exchange(request, true, entries);
    if (err == ENOENT)
        return 0;
    if (err != 0)
        return err;
    // The kernel falls back to a listener on the local end when no
    // connection matches: only the exact four-tuple counts.
    for (const TcpSocketEntry& e : entries) {
        if (matches(e, family, tuple)) {
            out = e;
            found = true;
        }
    }
    return 0;
}

}  // namespace posix
}  // namespace platform
