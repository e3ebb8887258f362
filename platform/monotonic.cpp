// The unit's monotonic clock: std::chrono::steady_clock and nanosleep.
#include "platform/monotonic.h"

#include <chrono>

#include "platform/timing.h"

namespace {

class SteadyClock final : public MonotonicClock {
 public:
  int64_t nowUs() override {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  }
  void sleepUs(int64_t us) override { ::sleepUs(us); }
};

}  // namespace

MonotonicClock& steadyClock() {
  static SteadyClock clock;
  return clock;
}
