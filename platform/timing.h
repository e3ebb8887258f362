// Sleeps of the unit's timing, and the start-up pauses that tests may shorten.
#pragma once

// Plain sleeps: the unit's pacing (10 ms pass, 20 ms command gap) is behaviour, never scaled.
void sleepMs(long ms);
void sleepUs(long us);

// Long fixed start-up pauses (countdown, marker clean-up, thread start pauses) are multiplied by
// KORVANE_STARTUP_SCALE (default 1, the unit's own timing); tests set e.g. 0.05.
double startupScale();
void startupSleepMs(long ms);
