// Internals of the Win32 service control seam, visible for tests.
#pragma once

#include <cstdint>

#include "platform/service_control.h"

namespace platform {
namespace win32 {

// Hands one control from the service control manager to `handler`. For a
// session change, eventData is the system's WTSSESSION_NOTIFICATION and the
// handler receives a SessionNotification copied from it. Without a handler
// the control is answered with "call not implemented".
std::uint32_t forwardControl(ControlHandlerFn handler, std::uint32_t control,
                             std::uint32_t eventType, void* eventData, void* context);

}  // namespace win32
}  // namespace platform
