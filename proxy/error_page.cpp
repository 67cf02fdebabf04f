#include "proxy/error_page.h"

#include <stdexcept>

#include "proxy/socks_proxy_server.h"

namespace {

// The page around the message line; every line ends with CR LF.
const char* const kPageHead[] = {
    "<!DOCTYPE HTML>",
    "<html>",
    "<head>",
    "<title>Error</title>",
    "<style type=\"text/css\">",
    "body{",
    "background-color: white;",
    "text-align: center;",
    "font-family: Helvetica, Arial, sans-serif;",
    "font-weight: 100;",
    "}",
    "h1{",
    "margin-top: 40px;",
    "font-size: 18px;",
    "}",
    "#page{",
    "width: 800px;",
    "height: 600px;",
    "padding: 8px;",
    "background-color: white;",
    "position: fixed;",
    "top: 50%;",
    "left: 50%;",
    "margin: -300px -400px -300px -400px;",
    "box-shadow: 0px 0px 23px -2px rgba(0,0,0,0.75);",
    "}",
    "div.error{",
    "width: 750px;",
    "height: 1px;",
    "border-top: 1px solid #b3b3b3;",
    "margin: 24px auto 24px auto;",
    "background-color: #e6e6e6;",
    "}",
    "h2{",
    "font-size: 16px;",
    "background-color: white;",
    "display: inline-block;",
    "position: relative;",
    "top: -10px;",
    "margin: 0;",
    "padding: 0 24px 0 24px;",
    "}",
    "h3{",
    "font-size: 14px;",
    "margin-top: 130px;",
    "}",
    "h4{",
    "position: absolute;",
    "bottom: 0;",
    "right: 0;",
    "margin: 8px;",
    "font-size: 8px;",
    "line-height: 14px;",
    "}",
    "h4 > span{",
    "vertical-align: top;",
    "font-size: 16px;",
    "color: #007cc4;",
    "}",
    "</style>",
    "</head>",
    "<body>",
    "<div id=\"page\">",
    "<h1>Error</h1>",
    "<div class=\"error\">",
};

const char* const kPageTail[] = {
    "</div>",
    "<h3>Contact your system administrator to resolve the issue</h3>",
    "<h4>Powered by <span>Tarnwicket</span></h4>",
    "</div>",
    "</body>",
    "</html>",
};

const char* const kCrLf = "\r\n";

// One pass, so the entities it inserts are not escaped again.
std::string escapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

const char* statusText(HttpErrorCode http_code) {
    switch (http_code) {
        case InternalServerError:
            return "500 Internal Server Error";
        case BadGateway:
            return "502 Bad Gateway";
        case GatewayTimeout:
            return "504 Gateway Timeout";
    }
    throw std::invalid_argument("http_code");
}

}  // namespace

std::string buildErrorResponse(HttpErrorCode http_code, const std::string& message) {
    std::string body;
    for (const char* line : kPageHead)
        body.append(line).append(kCrLf);
    body.append("<h2>").append(escapeHtml(message)).append("</h2>").append(kCrLf);
    for (const char* line : kPageTail)
        body.append(line).append(kCrLf);

    std::string response("HTTP/1.0 ");
    response.append(statusText(http_code)).append(kCrLf);
    response.append("Content-Type: text/html; charset=UTF-8").append(kCrLf);
    response.append("Content-Length: ").append(std::to_string(body.size())).append(kCrLf);
    response.append(kCrLf);
    response.append(body);
    return response;
}

void SocksProxyServer::sendErrorPage(ConnPair& cp, HttpErrorCode http_code, std::string message) {
    // Never once relaying has begun, and never a second page.
    if (cp.m_state >= Relaying)
        return;
    const std::string response = buildErrorResponse(http_code, message);
    cp.m_sb_buf.assign(response.begin(), response.end());
    // Whatever part of a SOCKS reply had accumulated is abandoned with the
    // negotiation; the buffer now holds only the page.
    cp.m_sb_rx_pos = 0;
    cp.m_sb_tx_pos = 0;
    cp.m_sb_tx_len = static_cast<std::int32_t>(response.size());
    enterState(cp, SendingErrorPage);
    countErrorPage(http_code);
}

void SocksProxyServer::countErrorPage(HttpErrorCode http_code) {
    switch (http_code) {
        case InternalServerError:
            m_counters.errorPages500++;
            break;
        case BadGateway:
            m_counters.errorPages502++;
            break;
        case GatewayTimeout:
            m_counters.errorPages504++;
            break;
    }
}
