// Registers the service with the service manager and removes it again,
// reporting each step on the console.
#pragma once

// All three report each failing step on the console and return false when
// one failed.
// Creates the service, gives it its restart actions and registers the event
// source with the program as its message file.
bool installService();
// Stops the service first when it is running; deletes it and the event
// source.
bool removeService();
// Gives the installed service its restart actions: after 5, 10 and 60
// seconds, counted afresh after a day without a failure; a stop with an
// exit code counts as a failure, as a crash does.
bool setServiceRestartActions();
