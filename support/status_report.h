// What people see of a relay's state: the lines `vornclient -status`
// prints, and the one-line summary the service manager shows.
#pragma once

#include <cstdint>
#include <string>

#include "support/status_snapshot.h"

// "2024-05-01 12:00:00 UTC" for ticks of the system clock (100 ns since
// 1601-01-01 UTC).
std::string utcTimeText(std::int64_t ticks);

// The status command's lines, UTF-8, each ending in a line feed.
std::string statusReport(const RelayStatus& status);

// "312 connections for 14 users; gateway answering".
std::wstring statusSummary(const RelayStatus& status);
