// Sleep helpers; only start-up pauses honour the test scale.
#include "platform/timing.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace {
std::atomic<time_t> g_wallShift{0};
}

timespec timespecFromUs(long long us) {
  if (us <= 0) return timespec{0, 0};
  return timespec{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
}

void sleepUs(long long us) {
  if (us <= 0) return;
  timespec ts = timespecFromUs(us);
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void sleepMs(long long ms) { sleepUs(ms * 1000); }

time_t wallClockNow() { return time(nullptr) + g_wallShift.load(std::memory_order_relaxed); }

void shiftWallClock(time_t seconds) { g_wallShift.store(seconds, std::memory_order_relaxed); }

double startupScale() {
  static const double scale = [] {
    const char* s = std::getenv("KORVANE_STARTUP_SCALE");
    if (!s || !*s) return 1.0;
    char* end = nullptr;
    double v = std::strtod(s, &end);
    return (end != s && v >= 0.0 && v <= 1.0) ? v : 1.0;
  }();
  return scale;
}

void startupSleepMs(long ms) { sleepUs(static_cast<long long>(ms * 1000.0 * startupScale())); }
