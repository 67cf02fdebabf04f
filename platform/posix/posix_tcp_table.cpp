#include "platform/platform.h"

namespace platform {

TcpTable& nativeTcpTable() {
    static TcpTable g_instance;
    return g_instance;
}

}  // namespace platform
