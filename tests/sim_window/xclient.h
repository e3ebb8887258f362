// The test's X client, kept apart: Xlib's names (Screen, Window) clash with the program's own.
#pragma once
#include <cstdint>
#include <string>

namespace xclient {

struct Rgb {
  uint8_t r, g, b;
};

class Client {
 public:
  ~Client();
  bool open(const std::string& display);
  // Finds the top-level window of that name; false while there is none.
  bool findWindow(const std::string& name);
  // The window's pixel at (x, y), after grab() took a picture of its top-left w x h.
  bool grab(int w, int h);
  Rgb pixel(int x, int y) const;
  // A mouse click (press and release at once) at a point of the window.
  void click(int x, int y);

 private:
  void* display_ = nullptr;
  unsigned long window_ = 0;
  void* image_ = nullptr;
};

}  // namespace xclient
