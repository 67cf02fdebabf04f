// Console output of the service host: the usage lines, the installer's and
// remover's progress and the debug mode's lines. Everything goes to standard
// output, flushed at once so that progress dots appear as they are printed.
#pragma once

#include <string>

// Narrow text, printed as it is.
void consolePrint(const std::string& text);
// Wide (UTF-16) text, printed as UTF-8.
void consolePrint(const std::wstring& text);

// While one exists, console output is collected here instead of being
// printed (for tests). Not nestable.
class ScopedConsoleCapture {
public:
    ScopedConsoleCapture();
    ~ScopedConsoleCapture();
    ScopedConsoleCapture(const ScopedConsoleCapture&) = delete;
    ScopedConsoleCapture& operator=(const ScopedConsoleCapture&) = delete;

    std::string text() const;

private:
    std::string m_captured;
};
