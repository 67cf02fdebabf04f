// UTF-16 (wide) <-> UTF-8 (narrow) conversion, one-line system error texts
// and string splitting.
#pragma once

#include "platform/types.h"

#include <cstdint>
#include <string>
#include <vector>

// Throws std::logic_error naming the failing call and the last-error code.
std::string wideToUtf8(const std::wstring& text);
std::wstring utf8ToWide(const std::string& text);

// The first line of the system's text for a system or Winsock error code,
// or "INTERNAL ERROR: FormatMessage failed".
std::string systemErrorText(std::uint32_t code);

// "(error code <code> - <system text>)", as the browser and the log see a
// failed call.
std::string errorCodeText(int code);

// Pieces of text between occurrences of delimiter (which must not be empty).
std::vector<std::string> splitString(const std::string& text, const std::string& delimiter);

// "192.0.2.7:1080" or "[2001:db8::7]:1080", for messages.
std::string addressText(const platform::SockAddr& addr);
