// Test helper: a monotonic clock the test moves; sleeping on it only moves it.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/monotonic.h"

namespace testlib {

class TestClock : public MonotonicClock {
 public:
  int64_t nowUs() override { return now_.load(); }
  // scale < 1 makes every wait come short by that factor, as on a part that runs too fast.
  void sleepUs(int64_t us) override {
    now_ += static_cast<int64_t>(static_cast<double>(us) * scale);
    if (onSleep) onSleep(us);
  }
  void advance(int64_t us) { now_ += us; }
  double scale = 1.0;
  // Called after every sleep: lets a test act "meanwhile" from another thread's point of view.
  std::function<void(int64_t)> onSleep;

 private:
  std::atomic<int64_t> now_{1'000'000'000};
};

}  // namespace testlib
