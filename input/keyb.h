// Service keyboard thread: screenshot, setup save, remote service shell and program exit from a USB keyboard.
#pragma once

struct Works;

// Where the keyboard is looked for, on the unit's paths; the first match is used.
constexpr const char* kKeyboardPattern = "/dev/input/by-id/*-event-kbd";
// The pause between two looks for a keyboard (scaled in tests by KORVANE_STARTUP_SCALE).
constexpr long kKeyboardRetryMs = 20000;

// The thread body: runs while `running` is set and EnableKeyb is '1'; every wait ends within a
// tenth of a second of either dropping.
void keyb(Works* works);

// F10: starts the remote service shell and waits for its session to end (or the program to stop).
void RemoteConnection(Works* works);
