// The GPIO thread in parts: pin set-up, one pass (codes, exchange, keys) and the loop around them.
#pragma once
#include <cstdint>

class GpioBlock;
class MonotonicClock;
struct Works;

// Pins (BCM numbers).
constexpr int kPinData = 4, kPinClock = 6, kPinFwUpdate = 13, kPinAlwaysHigh = 16, kPinKey1 = 22;
constexpr int kNumKeys = 6;
// Passes a differing level must be seen before the next one may be accepted.
constexpr int kDebouncePasses = 5;
// Passes between two automatic codes.
constexpr int kCodeInterval = 200;
constexpr int64_t kPassUs = 2000;

// The scanner's own state between passes; only the GPIO thread touches it.
struct GpioKeys {
  int level[kNumKeys] = {1, 1, 1, 1, 1, 1};           // accepted level, 1 released
  int previous[kNumKeys] = {-1, -1, -1, -1, -1, -1};  // -1: none accepted yet
  int debounce[kNumKeys]{};
  bool held[kNumKeys]{};
  bool longSent[kNumKeys]{};  // a long-press event went out during this press
  uint8_t tracked = 0;        // one bit a key; a new press is tracked only while it is 0
  int heldMask = 0;           // keys whose long press fired
  int64_t pressTimeUs = 0;
  int repeatCount = 0;
};

struct GpioScanner {
  GpioBlock& block;
  MonotonicClock& clock;
  GpioKeys keys;
};

// Outputs 4, 6, 13, 16 (13 high), inputs 22 to 27 with their pull-ups.
void gpioConfigurePins(GpioBlock& block, MonotonicClock& clock);
// One code out and its 12-bit answer back, on the peripheral's bit timing (about 10.2 ms).
int gpioExchange(GpioBlock& block, MonotonicClock& clock, int code);
// One pass without its closing 2 ms sleep.
void gpioPass(Works* works, GpioScanner& s);
// Set-up, then passes every 2 ms while the program runs and the thread is enabled.
void gpioRun(Works* works, GpioBlock& block, MonotonicClock& clock);
