#include "socks/gateway_resolution.h"

#include <algorithm>

#include "platform/platform.h"
#include "support/logging.h"
#include "support/text_conversion.h"

namespace {

const char kCouldNotResolve[] = "Could not resolve Tarnwicket IP address";

// The resolver lists an address once per socket type when asked without
// hints; the gateway is tried once per address.
void addOnce(std::vector<platform::SockAddr>& list, const platform::SockAddr& addr) {
    if (std::find(list.begin(), list.end(), addr) == list.end())
        list.push_back(addr);
}

bool isIpv4Literal(const std::string& host) {
    int parts = 0;
    std::size_t pos = 0;
    while (parts < 4) {
        std::size_t end = pos;
        while (end < host.size() && end - pos < 3 && host[end] >= '0' && host[end] <= '9')
            ++end;
        if (end == pos || std::stoi(host.substr(pos, end - pos)) > 255)
            return false;
        ++parts;
        if (end == host.size())
            return parts == 4;
        if (host[end] != '.')
            return false;
        pos = end + 1;
    }
    return false;
}

bool isIpv6Literal(const std::string& host) {
    const auto colons = std::count(host.begin(), host.end(), ':');
    return colons >= 2 && host.find_first_not_of("0123456789abcdefABCDEF:.") == std::string::npos;
}

}  // namespace

bool isAddressLiteral(const std::string& host) {
    return isIpv4Literal(host) || isIpv6Literal(host);
}

bool resolveTarnwicketAddress(const std::string& host, std::uint16_t port, GatewayAddresses& out) {
    out.addresses.clear();
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
        if (entry.family != platform::kAfInet && entry.family != platform::kAfInet6)
            continue;
        platform::SockAddr addr = entry.addr;
        addr.family = static_cast<std::uint16_t>(entry.family);
        addr.port = platform::hostToNet16(port);
        addOnce(out.addresses, addr);
    }
    if (!out.addresses.empty())
        return true;

    logUtf8Error("No (IPv4) Tarnwicket address found");
    out.errorText = kCouldNotResolve;
    return false;
}
