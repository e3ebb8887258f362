// The GPIO scanner on the register model and a test clock, with a recording key dispatch.
#pragma once
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "amp/gpio.h"
#include "core/works.h"
#include "platform/gpio_model.h"
#include "tests/testlib/temp_root.h"
#include "tests/testlib/test_clock.h"

namespace gpiotest {

// The panel file of a temporary root (its sim/ folder made first).
inline std::string panelPath(const testlib::TempRoot& root) {
  std::filesystem::create_directories(root.file("/sim"));
  return root.file("/sim/gpio_panel");
}

struct KeyEvent {
  int key, mask;
  int64_t atMs;  // since the rig started
  bool operator==(const KeyEvent&) const = default;
};

class Rig {
 public:
  Rig() : model(clock, panelPath(root)), scanner{model, clock, {}} {
    current() = this;
    w->hooks.keyEvent = &Rig::dispatch;
    gpioConfigurePins(model, clock);
    startUs = clock.nowUs();
  }
  ~Rig() { current() = nullptr; }

  GpioPanel& panel() { return model.panel(); }
  int64_t elapsedMs() const { return (const_cast<testlib::TestClock&>(clock).nowUs() - startUs) / 1000; }
  // Passes of the thread with its 2 ms sleep, for at least `ms` of clock time.
  void runMs(int64_t ms) {
    const int64_t end = clock.nowUs() + ms * 1000;
    while (clock.nowUs() < end) pass();
  }
  void pass() {
    gpioPass(w.get(), scanner);
    clock.sleepUs(kPassUs);
  }
  // Sets exactly the keys of `mask` down (bit n - 1 for key n).
  void hold(uint32_t mask) {
    for (int k = 1; k <= 6; ++k) panel().setKey(k, (mask >> (k - 1)) & 1);
  }

  testlib::TempRoot root;
  testlib::TestWorks w;
  testlib::TestClock clock;
  GpioModel model;
  GpioScanner scanner;
  std::vector<KeyEvent> events;
  int repeatAnswer = 0;  // what the dispatch answers to a held key
  int64_t startUs = 0;

 private:
  static Rig*& current() {
    static Rig* r = nullptr;
    return r;
  }
  // Like the menus' dispatch: takes the event and clears the "second function" message.
  static int dispatch(Works* works, int key, int mask) {
    Rig* r = current();
    works->msgFlags &= static_cast<uint8_t>(~kMsgSecondFunction);
    r->events.push_back({key, mask, r->elapsedMs()});
    return mask ? r->repeatAnswer : 0;
  }
};

}  // namespace gpiotest
