#include "platform/platform.h"

namespace platform {

Process& nativeProcess() {
    static Process g_instance;
    return g_instance;
}

}  // namespace platform
