#include "platform/platform.h"

namespace platform {

EventLog& nativeEventLog() {
    static EventLog g_instance;
    return g_instance;
}

}  // namespace platform
