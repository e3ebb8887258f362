// Key presses and peripheral answers written into the panel file, with timed releases.
#include "sim/panel/panel_driver.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace sim {
namespace {

// A whole decimal number in [lo, hi], nothing else.
bool number(const std::string& s, long lo, long hi, long& out) {
  if (s.empty() || s.size() > 9) return false;
  char* end = nullptr;
  const long v = strtol(s.c_str(), &end, 0);
  if (*end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

PanelDriver::~PanelDriver() {
  {
    std::lock_guard lk(mu_);
    quit_ = true;
  }
  cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool PanelDriver::open(const std::string& root) {
  if (!panel_.open(root + "/sim/gpio_panel")) return false;
  if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
  return true;
}

void PanelDriver::press(int key) {
  if (key < 1 || key > 6) return;
  {
    std::lock_guard lk(mu_);
    ++generation_[key];
  }
  panel_.setKey(key, true);
}

void PanelDriver::release(int key) {
  if (key < 1 || key > 6) return;
  {
    std::lock_guard lk(mu_);
    ++generation_[key];
  }
  panel_.setKey(key, false);
}

void PanelDriver::holdFor(int key, int ms) {
  if (key < 1 || key > 6) return;
  ms = std::clamp(ms, 1, kMaxHoldMs);
  {
    std::lock_guard lk(mu_);
    pending_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(ms), key, ++generation_[key]});
  }
  panel_.setKey(key, true);
  cv_.notify_all();
}

void PanelDriver::run() {
  std::unique_lock lk(mu_);
  while (!quit_) {
    if (pending_.empty()) {
      cv_.wait(lk);
      continue;
    }
    auto first = std::min_element(pending_.begin(), pending_.end(),
                                  [](const Release& a, const Release& b) { return a.due < b.due; });
    // A copy: while waiting the list may grow and move.
    const auto due = first->due;
    if (std::chrono::steady_clock::now() < due) {
      cv_.wait_until(lk, due);
      continue;
    }
    const Release r = *first;
    pending_.erase(first);
    if (r.generation == generation_[r.key]) {
      ++generation_[r.key];
      panel_.setKey(r.key, false);
    }
  }
}

std::optional<std::string> PanelDriver::command(const std::string& line) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string t; in >> t && w.size() < 5;) w.push_back(t);
  if (w.empty() || (w[0] != "key" && w[0] != "pa" && w[0] != "reading" && w[0] != "panel")) return std::nullopt;
  if (!panel_.isOpen()) return std::string("error: no gpio panel");
  long key = 0, v = 0, code = 0;
  if (w[0] == "key" && w.size() >= 3 && number(w[1], 1, 6, key)) {
    const int k = static_cast<int>(key);
    if (w[2] == "press" && w.size() == 3) {
      press(k);
      return "ok key " + w[1] + " down";
    }
    if (w[2] == "release" && w.size() == 3) {
      release(k);
      return "ok key " + w[1] + " up";
    }
    if (w[2] == "tap" && w.size() == 3) {
      holdFor(k, kTapMs);
      return "ok key " + w[1] + " tapped";
    }
    if (w[2] == "hold" && w.size() == 4 && number(w[3], 1, kMaxHoldMs, v)) {
      holdFor(k, static_cast<int>(v));
      return "ok key " + w[1] + " held " + w[3] + " ms";
    }
    return std::string("error: key N press|release|tap|hold MS (N 1 to 6, MS up to 600000)");
  }
  if (w[0] == "pa" && w.size() == 2 && number(w[1], 0, 255, v)) {
    panel_.setReply(kPaVoltageCode, static_cast<uint32_t>(v));
    return "ok pa " + w[1];
  }
  if (w[0] == "reading" && w.size() == 3 && number(w[1], 0, 255, code) && number(w[2], 0, 4095, v)) {
    panel_.setReply(static_cast<int>(code), static_cast<uint32_t>(v));
    return "ok reading " + w[1] + " " + w[2];
  }
  if (w[0] == "panel" && w.size() == 1) {
    char buf[160];
    snprintf(buf, sizeof buf, "keys down %02x, exchanges %u, last code 0x%02X -> 0x%03X, timing faults %u",
             panel_.keysDown(), panel_.exchanges(), panel_.lastCode(), panel_.lastReply(), panel_.timingFaults());
    return std::string(buf);
  }
  if (w[0] == "pa") return std::string("error: pa BYTE (0 to 255)");
  if (w[0] == "reading") return std::string("error: reading CODE VALUE (0 to 255, 0 to 4095)");
  return std::string("error: panel takes no arguments");
}

}  // namespace sim
