// Runs a program found on PATH and collects what it prints.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Runs argv[0] with the arguments argv[1..], its standard output captured
// into `output` and its standard error discarded. Returns its exit status,
// or -1 when it could not be run (for example because it is not installed).
int runCommand(const std::vector<std::string>& argv, std::string& output);

}  // namespace platform
