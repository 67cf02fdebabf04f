// The service's names: the service name also names the event source and the
// registry key of the parameters.
#pragma once

constexpr const wchar_t* kServiceName = L"VornClient";
constexpr const char* kServiceNameNarrow = "VornClient";
constexpr const wchar_t* kServiceDisplayName = L"Tarnwicket Vorn Client";
constexpr const char* kServiceDisplayNameNarrow = "Tarnwicket Vorn Client";

// The program's version: the project version the build was made from.
constexpr const char* kProgramVersion = VORN_VERSION;
