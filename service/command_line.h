// Process entry and the console modes: -install, -remove, -debug, -version,
// -status, -configure (the installer package's step), or the service
// dispatcher.
#pragma once

#include <cstdint>
#include <string>

// Looks at the first argument and runs a mode. Returns the process exit
// code: 0 when the mode did its work, 1 when it failed; -status has codes
// of its own (status_command.h).
int serviceEntry(int argc, char** argv);

// Runs the relay in the console until Ctrl+C or Ctrl+Break; false when it
// could not run or failed.
bool CmdDebugService();
// Ctrl+C (0) and Ctrl+Break (1) stop the relay and count as handled; every
// other event is left to the next handler.
bool consoleCtrlHandler(std::uint32_t ctrlType);

// "<system text> (0x<code>)" for the thread's last error, or empty when the
// text is unavailable or too long for the 256-character buffer.
std::wstring lastErrorText();
// Prints "<prefix><last error text>\n" for a failed step, with `error` made
// the thread's last error first: the seams return their errors.
void printFailure(const std::wstring& prefix, std::uint32_t error);
