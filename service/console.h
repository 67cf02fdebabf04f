// Console output of the service host: the usage lines, the installer's and
// remover's progress and failures, and the debug mode's lines. Everything
// goes to standard output as it is printed.
#pragma once

#include <cstdint>
#include <string>

// Narrow text, printed as it is.
void consolePrint(const std::string& text);
// Wide (UTF-16) text, printed as UTF-8.
void consolePrint(const std::wstring& text);

// "<system text> (0x<code>)" for the thread's last error, or empty when the
// text is unavailable or too long for the 256-character buffer.
std::wstring lastErrorText();
// Prints "<prefix><last error text>\n" for a failed step, with `error` made
// the thread's last error first: the seams return their errors.
void printFailure(const std::wstring& prefix, std::uint32_t error);
