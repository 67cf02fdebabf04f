#include "platform/platform.h"

namespace platform {

Clock& nativeClock() {
    static Clock g_instance;
    return g_instance;
}

}  // namespace platform
