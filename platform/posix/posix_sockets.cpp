#include "platform/platform.h"

namespace platform {

Sockets& nativeSockets() {
    static Sockets g_instance;
    return g_instance;
}

}  // namespace platform
