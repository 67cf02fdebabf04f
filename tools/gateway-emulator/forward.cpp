#include "tools/gateway-emulator/forward.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>
#include <thread>

namespace emu {
namespace {

std::uint8_t repForErrno(int error) {
    switch (error) {
        case ECONNREFUSED:
            return kRepConnectionRefused;
        case ENETUNREACH:
            return kRepNetworkUnreachable;
        case EHOSTUNREACH:
        case ETIMEDOUT:
            return kRepHostUnreachable;
        default:
            return kRepGeneralFailure;
    }
}

enum class StreamEnd { Eof, Error };

StreamEnd copyStream(int from, int to) {
    std::vector<char> buf(64 * 1024);
    for (;;) {
        ssize_t n = ::recv(from, buf.data(), buf.size(), 0);
        if (n == 0)
            return StreamEnd::Eof;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return StreamEnd::Error;
        }
        if (!toolnet::writeAll(to, buf.data(), static_cast<std::size_t>(n)))
            return StreamEnd::Error;
    }
}

void pumpOneWay(int from, int to) {
    if (copyStream(from, to) == StreamEnd::Eof) {
        ::shutdown(to, SHUT_WR);
    } else {
        // Wakes the other direction's receive, so both threads end.
        ::shutdown(from, SHUT_RDWR);
        ::shutdown(to, SHUT_RDWR);
    }
}

}  // namespace

std::uint8_t connectTarget(const ConnectRequest& request, toolnet::Fd& upstream) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | (request.atyp == 3 ? 0 : AI_NUMERICHOST);
    addrinfo* list = nullptr;
    if (::getaddrinfo(request.host.c_str(), std::to_string(request.port).c_str(), &hints, &list) !=
        0) {
        return kRepHostUnreachable;
    }
    std::uint8_t rep = kRepHostUnreachable;
    for (addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
        toolnet::Fd fd(::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol));
        if (!fd.valid()) {
            rep = repForErrno(errno);
            continue;
        }
        int rc;
        do {
            rc = ::connect(fd.get(), ai->ai_addr, ai->ai_addrlen);
        } while (rc != 0 && errno == EINTR);
        if (rc == 0) {
            toolnet::setNoDelay(fd.get());
            upstream = std::move(fd);
            rep = kRepSucceeded;
            break;
        }
        rep = repForErrno(errno);
    }
    ::freeaddrinfo(list);
    return rep;
}

std::vector<std::uint8_t> connectReply(std::uint8_t rep, const toolnet::Fd& upstream) {
    sockaddr_storage local{};
    socklen_t len = sizeof(local);
    bool bound = upstream.valid() &&
                 ::getsockname(upstream.get(), reinterpret_cast<sockaddr*>(&local), &len) == 0;
    std::vector<std::uint8_t> reply{5, rep, 0};
    auto append = [&reply](const void* data, std::size_t n) {
        const auto* p = static_cast<const std::uint8_t*>(data);
        reply.insert(reply.end(), p, p + n);
    };
    if (bound && local.ss_family == AF_INET6) {
        const auto& a = reinterpret_cast<const sockaddr_in6&>(local);
        reply.push_back(4);
        append(&a.sin6_addr, 16);
        append(&a.sin6_port, 2);
    } else {
        sockaddr_in a{};  // zeros when not connected
        if (bound)
            a = reinterpret_cast<const sockaddr_in&>(local);
        reply.push_back(1);
        append(&a.sin_addr, 4);
        append(&a.sin_port, 2);
    }
    return reply;
}

void relayBothWays(Reader& clientReader, int clientFd, toolnet::Fd& upstream) {
    std::string early = clientReader.takeBuffered();
    if (!early.empty() && !toolnet::writeAll(upstream.get(), early))
        return;
    // A tunnel may stay quiet in one direction for as long as the other is busy.
    toolnet::setReceiveTimeout(clientFd, std::chrono::milliseconds(0));
    std::thread back(pumpOneWay, upstream.get(), clientFd);
    pumpOneWay(clientFd, upstream.get());
    back.join();
}

}  // namespace emu
