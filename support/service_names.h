// The service's names: the service name also names the event source and the
// registry key of the parameters.
#pragma once

constexpr const wchar_t* kServiceName = L"VornClient";
constexpr const char* kServiceNameNarrow = "VornClient";
constexpr const wchar_t* kServiceDisplayName = L"Tarnwicket Vorn Client";
constexpr const char* kServiceDisplayNameNarrow = "Tarnwicket Vorn Client";
