#include "socks/gateway_resolution.h"

#include <cstring>
#include <vector>

#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kCouldNotResolve[] = "Could not resolve Tarnwicket IP address";

}  // namespace

bool resolveTarnwicketAddress(const std::string& host, std::uint16_t port, GatewayAddress& out) {
    if (host.empty()) {
        logUtf8Error("TarnwicketIPAddress (registry setting) is empty");
        out.errorText = kCouldNotResolve;
        return false;
    }

    std::vector<platform::AddrInfo> entries;
    const int rc = platform::sockets().getAddrInfo(host, entries);
    if (rc != 0) {
        const std::string text = std::string(kCouldNotResolve) + " " + errorCodeText(rc);
        logUtf8Error(text);
        out.errorText = text;
        return false;
    }

    for (const platform::AddrInfo& entry : entries) {
        if (entry.family != platform::kAfInet)
            continue;
        platform::SockAddrIn addr = entry.v4;
        addr.family = platform::kAfInet;
        addr.port = platform::hostToNet16(port);
        std::memcpy(out.addr.data(), &addr, sizeof addr);
        out.addrLen = static_cast<std::int32_t>(sizeof addr);
        return true;
    }

    logUtf8Error("No (IPv4) Tarnwicket address found");
    out.errorText = kCouldNotResolve;
    return false;
}
