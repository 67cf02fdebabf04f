// Console control events on Linux: SIGINT is Ctrl+C, SIGQUIT is Ctrl+Break.
// As on Windows, handlers run on a thread of their own, never in signal
// context, newest first; when none handles an event the signal's default
// action applies.
#pragma once

#include "platform/process.h"

namespace platform {

// Adds a handler. The first call blocks SIGINT and SIGQUIT in the calling
// thread (so in every thread it creates later) and starts the thread that
// waits for them; call it before other threads exist. False when the list of
// handlers is full or the thread cannot start.
bool addConsoleSignalHandler(ConsoleCtrlHandlerFn handler);

}  // namespace platform
