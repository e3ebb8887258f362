// The simulator's hand on the front panel: presses, holds and releases keys and sets the peripheral's answers.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/gpio_panel.h"

namespace sim {

// The peripheral's code whose answer is the PA voltage byte, and the byte a fresh root answers
// (13.8 V on the 60 W model; 192 reads 48 V on the 120 W one).
constexpr int kPaVoltageCode = 0xD3;
constexpr int kDefaultPaByte = 163, kDefaultPaByte120W = 192;

// A tap is held this long: past the debounce (about 12 ms) and well short of a long press.
constexpr int kTapMs = 100;
// Longest hold a command may ask for.
constexpr int kMaxHoldMs = 10 * 60 * 1000;

// Writes the panel file of a root (<root>/sim/gpio_panel) that the program's register model reads.
// Timed releases run on a thread of its own, so a caller never waits for a hold to end.
class PanelDriver {
 public:
  PanelDriver() = default;
  ~PanelDriver();
  PanelDriver(const PanelDriver&) = delete;
  PanelDriver& operator=(const PanelDriver&) = delete;

  bool open(const std::string& root);
  GpioPanel& panel() { return panel_; }

  void press(int key);
  void release(int key);
  // Down now, up after ms (a later press or release of the key cancels the pending release).
  void holdFor(int key, int ms);

  // Control lines: "key N press|release|tap|hold MS", "pa BYTE", "reading CODE VALUE", "panel".
  // The answer ("ok ..." or "error: ..."), or nothing when the line is not for the panel.
  std::optional<std::string> command(const std::string& line);

 private:
  struct Release {
    std::chrono::steady_clock::time_point due;
    int key;
    uint64_t generation;
  };
  void run();

  GpioPanel panel_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Release> pending_;  // under mu_
  uint64_t generation_[7]{};      // under mu_: bumped by every press and release of the key
  bool quit_ = false;             // under mu_
  std::thread thread_;
};

}  // namespace sim
