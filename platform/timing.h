// Sleeps of the unit's timing, and the start-up pauses that tests may shorten.
#pragma once
#include <ctime>

// Plain sleeps: the unit's pacing (10 ms pass, 20 ms command gap) is behaviour, never scaled.
// Durations are 64-bit: on the 32-bit board a long holds only 35 minutes of microseconds.
void sleepMs(long long ms);
void sleepUs(long long us);
timespec timespecFromUs(long long us);

// Wall-clock seconds, the one source of the date text, the screen-saver idle time and the log
// stamps. Tests move it (for example past January 2038) with shiftWallClock; the unit never does.
time_t wallClockNow();
void shiftWallClock(time_t seconds);

// Long fixed start-up pauses (countdown, marker clean-up, thread start pauses) are multiplied by
// KORVANE_STARTUP_SCALE (default 1, the unit's own timing); tests set e.g. 0.05.
double startupScale();
void startupSleepMs(long ms);
