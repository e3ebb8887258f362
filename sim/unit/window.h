// The simulator's window: the unit's live screen with its six keys under it, for mouse and keyboard.
#pragma once
#include <chrono>
#include <memory>
#include <string>

namespace sim {

class PanelDriver;

// Geometry of the key bar under the 800x480 screen: each key sits under the unit's own key box.
constexpr int kKeyBarHeight = 70;
struct KeyRect {
  int x, y, w, h;
};
KeyRect keyRect(int key);  // key 1 to 6, in window coordinates

class PanelWindow {
 public:
  PanelWindow();
  ~PanelWindow();
  PanelWindow(const PanelWindow&) = delete;
  PanelWindow& operator=(const PanelWindow&) = delete;

  // Opens the window on the display; false with the reason when there is none.
  bool open(const std::string& root, PanelDriver& panel, std::string* error);
  // Handles input and redraws for about ms; false once the window was closed.
  bool pump(int ms);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sim
