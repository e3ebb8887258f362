// The nine full-screen backgrounds of the unit's display, drawn from code.
#pragma once

#include <string>
#include <vector>

#include "canvas.h"

namespace artwork {

struct Fonts {
  std::string regular;  // DejaVuSans.ttf
  std::string bold;     // DejaVuSans-Bold.ttf
};

struct NamedScreen {
  std::string name;  // file name without ".png", as the program asks for it
  Canvas canvas;
};

// All nine screens, in a fixed order; empty with a message when a font cannot be opened.
std::vector<NamedScreen> DrawAllScreens(const Fonts& fonts, std::string& error);

}  // namespace artwork
