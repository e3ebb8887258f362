// A monotonic clock for the timings an operator sets in seconds, and the short waits that pace them.
#pragma once
#include <cstdint>

// The unit uses steadyClock(); a test hands its own clock to what it drives and moves time itself,
// so a half-second long press takes no half second of the test's time.
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  // Microseconds since an arbitrary start; never goes back.
  virtual int64_t nowUs() = 0;
  virtual void sleepUs(int64_t us) = 0;
};

MonotonicClock& steadyClock();
