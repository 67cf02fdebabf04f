// `vornclient -status`: the running relay's state, as the relay last
// renewed it in the data folder.
#pragma once

// Exit codes, as init scripts' status actions have them.
constexpr int kStatusRunning = 0;
constexpr int kStatusNotRunning = 3;
// Not readable: not an administrator, or not a state file.
constexpr int kStatusUnknown = 4;

// Prints the state, or why there is none; returns one of the codes above.
int showRelayStatus();
