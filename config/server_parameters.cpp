#include "config/server_parameters.h"

#include "config/registry_config.h"
#include "support/text_conversion.h"

void readServerParameters(ServerParameters& p) {
    std::wstring text;
    if (getConfigWstringValue(L"OrganizationName", text))
        p.organizationName = text;
    if (getConfigWstringValue(L"TarnwicketIpAddr", text))
        p.tarnwicketIpAddr = wideToUtf8(text);
    if (getConfigWstringValue(L"TarnwicketPort", text))
        p.tarnwicketPort = portFromText(text);

    std::uint32_t number = 0;
    if (getConfigUint32Value(L"ListenPort", number)) {
        p.listenPort = static_cast<std::uint16_t>(number);
    }
    if (getConfigUint32Value(L"SocketTimeout", number))
        p.socketTimeout = number < kLongestSocketTimeout ? number : kLongestSocketTimeout;
}
