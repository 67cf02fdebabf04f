#include "platform/platform.h"

namespace platform {

Registry& nativeRegistry() {
    static Registry g_instance;
    return g_instance;
}

}  // namespace platform
