#include "platform/platform.h"

namespace platform {

Identity& nativeIdentity() {
    static Identity g_instance;
    return g_instance;
}

}  // namespace platform
