#include "tools/gateway-emulator/socks_side.h"

#include <algorithm>
#include <vector>

namespace emu {
namespace {

bool sendReply(int fd, const std::vector<std::uint8_t>& bytes, const SocksBehaviour& behaviour) {
    if (behaviour.splitReplies) {
        return writeBytewise(fd, bytes.data(), bytes.size(), behaviour.splitPauseMicros);
    }
    return writeAll(fd, bytes.data(), bytes.size());
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

bool readConnectRequest(Reader& reader) {
    std::uint8_t header[4];
    if (!reader.readExact(header, sizeof(header)) || header[0] != 5)
        return false;
    std::size_t addressLength = 0;
    switch (header[3]) {
        case 1:
            addressLength = 4;
            break;
        case 4:
            addressLength = 16;
            break;
        case 3: {
            std::uint8_t nameLength = 0;
            if (!reader.readByte(nameLength))
                return false;
            addressLength = nameLength;
            break;
        }
        default:
            return false;
    }
    return reader.skip(addressLength + 2);  // address and port
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
                       IdentityLog& log, const std::string& peer) {
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

    if (!readConnectRequest(reader) || !continueAfter(Stage::Connect, reader, behaviour)) {
        return false;
    }
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
