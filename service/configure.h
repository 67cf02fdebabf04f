// The installer package's last step before it starts the service: the
// parameters it was given are written, the others keep the value they have
// (or had before an upgrade replaced the service) or get their default, and
// the service gets its restart actions.
#pragma once

#include <string>
#include <vector>

// `arguments`: "Name=value" for a parameter given to the installer (an
// empty value: not given), and "Name.previous=value" for the value the
// installer found before it removed an older version, in the form of its
// registry search ("#<number>" for a REG_DWORD; a REG_SZ text with a leading
// "#" doubled). Names are the five of the Parameters key. Nothing is written
// when an argument is unknown or a given number is not one. Failures are
// reported on the console; false when a step failed.
bool configureService(const std::vector<std::wstring>& arguments);
