// The HTML error response the relay sends a browser itself when its
// connection cannot be carried through to the gateway.
#pragma once

#include <string>

#include "proxy/conn_pair.h"

// The complete HTTP/1.0 response (status line, headers, page) for a status
// and a UTF-8 message; throws std::invalid_argument for an unknown status.
std::string buildErrorResponse(HttpErrorCode http_code, const std::string& message);
