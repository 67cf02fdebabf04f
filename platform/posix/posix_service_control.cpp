#include "platform/platform.h"

namespace platform {

ServiceControl& nativeServiceControl() {
    static ServiceControl g_instance;
    return g_instance;
}

}  // namespace platform
