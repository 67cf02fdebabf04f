// Registers the service with the service manager and removes it again,
// reporting each step on the console.
#pragma once

// Both report each step on the console and return false when one failed.
bool installService();
// Stops the service first when it is running.
bool removeService();
