#include "platform/platform.h"

namespace platform {

Files& nativeFiles() {
    static Files g_instance;
    return g_instance;
}

}  // namespace platform
