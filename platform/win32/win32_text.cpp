#include "platform/platform.h"

namespace platform {

Text& nativeText() {
    static Text g_instance;
    return g_instance;
}

}  // namespace platform
