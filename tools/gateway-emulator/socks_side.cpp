#include "tools/gateway-emulator/socks_side.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <algorithm>
#include <vector>

#include "tools/gateway-emulator/forward.h"

namespace emu {
namespace {

bool sendReply(int fd, const std::vector<std::uint8_t>& bytes, const SocksBehaviour& behaviour) {
    if (behaviour.splitReplies) {
        return toolnet::writeBytewise(fd, bytes.data(), bytes.size(), behaviour.splitPauseMicros);
    }
    return toolnet::writeAll(fd, bytes.data(), bytes.size());
}

// After a message: stay silent until the peer gives up, or hang up, when the
// behaviour asks for it at this stage. True when the exchange goes on.
bool continueAfter(Stage stage, Reader& reader, const SocksBehaviour& behaviour) {
    if (behaviour.silentAfter == stage) {
        reader.drainUntilEof();
        return false;
    }
    return behaviour.closeAfter != stage;
}

bool readGreeting(Reader& reader) {
    std::uint8_t version = 0;
    std::uint8_t count = 0;
    if (!reader.readByte(version) || version != 5 || !reader.readByte(count))
        return false;
    std::uint8_t methods[255];
    return reader.readExact(methods, count);
}

enum class RequestRead { Ok, UnknownAddressType, Broken };

// After an unknown ATYP the rest of the message cannot be delimited.
RequestRead readConnectRequest(Reader& reader, ConnectRequest& request) {
    std::uint8_t header[4];
    if (!reader.readExact(header, sizeof(header)) || header[0] != 5)
        return RequestRead::Broken;
    request.command = header[1];
    request.atyp = header[3];
    std::uint8_t address[255];
    std::size_t addressLength = 0;
    switch (request.atyp) {
        case 1:
            addressLength = 4;
            break;
        case 4:
            addressLength = 16;
            break;
        case 3: {
            std::uint8_t nameLength = 0;
            if (!reader.readByte(nameLength))
                return RequestRead::Broken;
            addressLength = nameLength;
            break;
        }
        default:
            return RequestRead::UnknownAddressType;
    }
    if (!reader.readExact(address, addressLength) || !reader.readU16(request.port))
        return RequestRead::Broken;
    if (request.atyp == 3) {
        request.host.assign(reinterpret_cast<const char*>(address), addressLength);
    } else {
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(request.atyp == 1 ? AF_INET : AF_INET6, address, text, sizeof(text));
        request.host = text;
    }
    return RequestRead::Ok;
}

// Forward mode: carry out the request and answer with its real outcome.
bool answerByForwarding(int fd, const ConnectRequest& request, RequestRead read,
                        const SocksBehaviour& behaviour, toolnet::Fd& upstream) {
    std::uint8_t rep = kRepSucceeded;
    if (read == RequestRead::UnknownAddressType) {
        rep = kRepAddressTypeNotSupported;
    } else if (request.command != 1) {
        rep = kRepCommandNotSupported;
    } else {
        rep = connectTarget(request, upstream);
    }
    return sendReply(fd, connectReply(rep, upstream), behaviour) && rep == kRepSucceeded;
}

std::vector<std::uint8_t> authReply(const SocksBehaviour& behaviour) {
    std::vector<std::uint8_t> reply{behaviour.authVersion, behaviour.authStatus};
    if (behaviour.authStatus == 1 || behaviour.authStatus == 2) {
        std::size_t len = std::min<std::size_t>(behaviour.diagnostic.size(), 0xFFFF);
        reply.push_back(static_cast<std::uint8_t>(len >> 8));
        reply.push_back(static_cast<std::uint8_t>(len & 0xFF));
        reply.insert(reply.end(), behaviour.diagnostic.begin(), behaviour.diagnostic.begin() + len);
    }
    return reply;
}

}  // namespace

bool runSocksHandshake(Reader& reader, int fd, const SocksBehaviour& behaviour, Identity& identity,
                       IdentityLog& log, const std::string& peer, toolnet::Fd& upstream) {
    if (!readGreeting(reader) || !continueAfter(Stage::Greeting, reader, behaviour))
        return false;
    if (!sendReply(fd, {behaviour.methodVersion, behaviour.method}, behaviour))
        return false;
    if (behaviour.methodVersion != 5 || behaviour.method == 0xFF) {
        reader.drainUntilEof();  // the relay hangs up; let it be the one to close
        return false;
    }

    if (readIdentity(reader, identity) != ParseResult::Ok)
        return false;
    log.append(identity, peer);
    if (!continueAfter(Stage::Auth, reader, behaviour))
        return false;
    if (!sendReply(fd, authReply(behaviour), behaviour))
        return false;
    bool accepted =
        behaviour.authVersion == 1 && (behaviour.authStatus == 0 || behaviour.authStatus == 2);
    if (!accepted) {
        reader.drainUntilEof();
        return false;
    }

    ConnectRequest request;
    RequestRead read = readConnectRequest(reader, request);
    if (read == RequestRead::Broken ||
        (read == RequestRead::UnknownAddressType && !behaviour.forward) ||
        !continueAfter(Stage::Connect, reader, behaviour)) {
        return false;
    }
    if (behaviour.forward)
        return answerByForwarding(fd, request, read, behaviour, upstream);
    std::vector<std::uint8_t> reply{behaviour.replyVersion,
                                    behaviour.rep,
                                    behaviour.replyRsv,
                                    behaviour.atyp,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0};
    if (!sendReply(fd, reply, behaviour))
        return false;
    bool open = behaviour.replyVersion == 5 && behaviour.rep == 0 && behaviour.replyRsv == 0 &&
                behaviour.atyp == 1;
    if (!open)
        reader.drainUntilEof();
    return open;
}

}  // namespace emu
