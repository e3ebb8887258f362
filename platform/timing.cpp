// Sleep helpers; only start-up pauses honour the test scale.
#include "platform/timing.h"

#include <cstdlib>
#include <ctime>
#include <cerrno>

void sleepUs(long us) {
  if (us <= 0) return;
  timespec ts{us / 1000000, (us % 1000000) * 1000};
  while (nanosleep(&ts, &ts) == -1 && errno == EINTR) {
  }
}

void sleepMs(long ms) { sleepUs(ms * 1000); }

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

void startupSleepMs(long ms) { sleepUs(static_cast<long>(ms * 1000.0 * startupScale())); }
