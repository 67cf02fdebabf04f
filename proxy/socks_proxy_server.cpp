#include "proxy/socks_proxy_server.h"
