// Process entry and the console modes: -install, -remove, -debug, -version,
// -status, -configure (the installer package's step), or the service
// dispatcher.
#pragma once

class ServiceHost;

// Looks at the first argument and runs a mode with `host`. Returns the
// process exit code: 0 when the mode did its work, 1 when it failed;
// -status has codes of its own (status_command.h).
int serviceEntry(ServiceHost& host, int argc, char** argv);
