// Registers the service with the service manager and removes it again,
// reporting each step on the console.
#pragma once

void installService();
// Stops the service first when it is running.
void removeService();
