// Readers of the service's parameters below
// HKLM\SYSTEM\CurrentControlSet\Services\VornClient\Parameters.
#pragma once

#include <cstdint>
#include <string>

#include "platform/registry.h"

std::wstring parametersKeyPath();

// Opens the Parameters key for reading; logs and returns false on failure.
bool regOpenKey(platform::RegKey& key);
// Read one REG_SZ / REG_DWORD value; on failure log, return false and leave
// value untouched.
bool getConfigWstringValue(const std::wstring& name, std::wstring& value);
bool getConfigUint32Value(const std::wstring& name, std::uint32_t& value);

// TarnwicketPort text to its stored 16-bit value with std::stoi rules
// (throws std::invalid_argument / std::out_of_range).
std::uint16_t portFromText(const std::wstring& text);
